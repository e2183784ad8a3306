// Scrivel's page: everything the user sees and does, driven through the
// message bridge. The native side owns the video, the jobs and the player;
// the page owns the settings being edited and shows what the native side says.

import { newId } from './ids.js';
import { formatBytes, formatCount, formatFrameRate, formatPercent, formatTime } from './format.js';
import {
  addTerm, defaultMaskRange, renderSettingsProblems, scanLooksForSomething,
} from './model.js';
import { hidingTracks } from './review.js';
import { renderExport, reveal, startCheck, startExport } from './copy.js';
import { commit, redo, renderMasks, renderStyle, showProblems, undo, wireStyle } from './edits.js';
import { $, CANCELLED, ask, bridge, clone, history, notify, state } from './page.js';
import {
  closeWindow, mayReplaceReview, openRequested, openReview, reportReviewState, saveReview, wirePrompt,
} from './savedReview.js';
import { onTrackKey, renderTracks, selectTrack, stepOccurrence } from './tracks.js';

// Scrivel's page: everything the user sees and does, driven through the
// message bridge. The native side owns the video, the jobs and the player;
// the page owns the settings being edited and shows what the native side says.

// ---------------------------------------------------------------- layout reports

export let lastPlayerBounds = '';
export let lastDragBounds = '';

export function boundsOf(element, visible) {
  const r = element.getBoundingClientRect();
  return { x: r.x, y: r.y, width: r.width, height: r.height, visible };
}

/** Tells the native side where the player and the drag strip go, when they moved. */
export function reportLayout() {
  const viewerShown = !$('viewer').hidden;
  // The native player lies over the page: it steps aside while a question is open.
  const player = boundsOf($('stage'), Boolean(state.video) && viewerShown && !state.prompt);
  const key = JSON.stringify(player);
  if (key !== lastPlayerBounds) {
    lastPlayerBounds = key;
    ask('setPlayerBounds', player);
  }
  const drag = boundsOf($('drag-region'), true);
  const dragKey = JSON.stringify(drag);
  if (dragKey !== lastDragBounds) {
    lastDragBounds = dragKey;
    ask('setWindowDragBounds', drag);
  }
}

export let layoutQueued = false;
export function queueLayout() {
  if (layoutQueued) return;
  layoutQueued = true;
  requestAnimationFrame(() => { layoutQueued = false; reportLayout(); });
}

// ---------------------------------------------------------------- preview

export let previewQueued = false;

/** Validates the settings, shows what is wrong, and sends them if they pass. */
export function schedulePreview() {
  state.problems = renderSettingsProblems(state.settings, state.video?.duration ?? 0);
  showProblems();
  reportReviewState();
  if (!state.video || state.problems.length || previewQueued) return;
  previewQueued = true;
  requestAnimationFrame(() => {
    previewQueued = false;
    if (!state.video) return;
    state.problems = renderSettingsProblems(state.settings, state.video.duration);
    if (state.problems.length) return;
    ask('setPreview', {
      videoId: state.video.id,
      enabled: state.preview.enabled,
      showRegions: state.preview.showRegions,
      renderSettings: clone(state.settings),
    });
  });
}

// ---------------------------------------------------------------- video

export async function openVideo() {
  if (state.openPending) return;
  state.openPending = true;
  try {
    if (!(await mayReplaceReview('opening another recording'))) return;
    const info = await ask('openVideo');
    if (info) selectVideo(info);
  } finally {
    state.openPending = false;
  }
}

export function selectVideo(info) {
  state.video = info;
  state.summary = null;
  state.selectedTrackId = null;
  state.job = null;
  state.drawing = false;
  state.exported = null;
  state.check = null;
  state.player = { time: 0, isPlaying: false };
  // A new video starts without exclusions or masks; the mask style carries over.
  state.settings.excludedTrackIDs = [];
  state.settings.manualMasks = [];
  state.review = { path: null, saved: null, unsaved: state.review.unsaved, saving: false };
  history.reset(state.settings);
  renderAll();
  setTab('scan');
  schedulePreview();
  queueLayout();
}

export function renderVideo() {
  const v = state.video;
  document.body.dataset.phase = phase();
  $('empty-state').hidden = Boolean(v);
  $('viewer').hidden = !v;
  $('sidebar').hidden = !v;
  // Notices sit in the sidebar above the progress, never over the native
  // player (which would hide them); with no video they float over the page.
  const notices = $('notices');
  if (v && notices.parentElement !== $('sidebar')) $('sidebar').insertBefore(notices, $('job'));
  if (!v && notices.parentElement !== document.body) document.body.append(notices);
  $('title-name').textContent = v ? v.displayName : '';
  document.title = v ? `${v.displayName}${state.review.unsaved ? ' •' : ''} – Scrivel` : 'Scrivel';
  if (!v) return;
  $('video-name').textContent = v.displayName;
  $('video-name').title = v.displayName;
  $('fact-duration').textContent = formatTime(v.duration);
  $('fact-size').textContent = `${v.width} × ${v.height}`;
  $('fact-rate').textContent = formatFrameRate(v.nominalFrameRate);
  $('fact-file').textContent = formatBytes(v.fileSize);
  $('duration-label').textContent = formatTime(v.duration);
  $('seek').max = String(v.duration);
}

export const JOB_PHASES = { scan: 'scanning', export: 'exporting', verify: 'checking' };
export const JOB_TITLES = { scan: 'Scanning', export: 'Exporting', verify: 'Checking the copy' };

export function phase() {
  if (!state.video) return 'empty';
  if (state.job) return JOB_PHASES[state.job.kind];
  return state.summary ? 'review' : 'loaded';
}

// ---------------------------------------------------------------- playback

export function renderPlayer() {
  const { time, isPlaying } = state.player;
  $('current-time').textContent = formatTime(time);
  if (!state.seeking) $('seek').value = String(time);
  $('seek').setAttribute('aria-valuetext', formatTime(time));
  const play = $('play-button');
  play.setAttribute('aria-label', isPlaying ? 'Pause' : 'Play');
  play.title = isPlaying ? 'Pause (Space)' : 'Play (Space)';
  play.querySelector('use').setAttribute('href', isPlaying ? '#i-pause' : '#i-play');
}

export function togglePlayback() {
  if (state.video) ask('togglePlayback', { videoId: state.video.id });
}

export let seekTarget = null;
export function seekTo(time) {
  if (!state.video) return;
  const first = seekTarget === null;
  seekTarget = time;
  if (!first) return;
  requestAnimationFrame(() => {
    const t = seekTarget;
    seekTarget = null;
    if (state.video) ask('seek', { videoId: state.video.id, time: t });
  });
}

// ---------------------------------------------------------------- drawing

export function setDrawing(enabled) {
  if (!state.video || state.drawing === enabled) return;
  if (enabled && state.job) {
    notify('Wait for the running job to finish before drawing a mask.', 'info');
    return;
  }
  state.drawing = enabled;
  renderToolbar();
  queueLayout();
  bridge.request('setDrawing', { videoId: state.video.id, enabled }).catch((error) => {
    state.drawing = false;
    renderToolbar();
    queueLayout();
    notify(error.message);
  });
}

export function addManualMask(rect) {
  const range = defaultMaskRange(state.player.time, state.video.duration);
  if (!range) return;
  const mask = { id: newId('mask'), rect: clone(rect), ...range, enabled: true };
  state.settings.manualMasks.push(mask);
  commit();
  renderMasks();
  setTab('review');
  schedulePreview();
}

// ---------------------------------------------------------------- scan

export async function startScan() {
  if (!state.video) { notify('Choose a video first.'); return; }
  if (state.job) { notify('Wait for the running job to finish, or cancel it.', 'info'); return; }
  if (!scanLooksForSomething(state.scan)) {
    notify('Choose at least one kind of text to find.');
    setTab('scan');
    return;
  }
  if (state.summary && !(await mayReplaceReview('scanning again'))) return;
  if (state.job) return;
  const job = { id: newId('scan'), kind: 'scan', videoId: state.video.id, progress: null };
  state.job = job;
  state.drawing = false; // the native side leaves drawing mode when a job starts
  renderAll();
  try {
    const summary = await bridge.request('scanVideo', {
      videoId: job.videoId, jobId: job.id, settings: clone(state.scan),
    });
    if (state.job !== job) return;
    state.job = null;
    state.summary = summary;
    state.check = null; // it was made of the copy of another scan's masks
    state.selectedTrackId = null;
    // The player forgets exclusions when it takes a new result; so does the page.
    state.settings.excludedTrackIDs = [];
    state.review = { path: null, saved: null, unsaved: state.review.unsaved, saving: false };
    history.reset(state.settings);
    renderAll();
    setTab('review');
    schedulePreview();
    const n = hidingTracks(summary.tracks).length;
    notify(n ? `Found ${n} ${n === 1 ? 'piece' : 'pieces'} of text to hide.` : 'Nothing to hide was found.', 'success');
  } catch (error) {
    if (state.job === job) state.job = null;
    renderAll();
    notify(error.message, error.message === CANCELLED ? 'info' : 'error');
  }
}

export function cancelJob() {
  const job = state.job;
  if (!job || job.cancelling) return;
  job.cancelling = true;
  renderJob();
  ask('cancelJob', { jobId: job.id });
}

export function onProgress(p) {
  const job = state.job;
  if (!job || p.id !== job.id || p.videoId !== job.videoId) return;
  job.progress = p;
  job.started = true;
  renderJob();
}

export function renderJob() {
  const job = state.job;
  $('job').hidden = !job;
  document.body.dataset.phase = phase();
  if (!job) return;
  const p = job.progress;
  const fraction = p ? Math.min(Math.max(p.progress, 0), 1) : 0;
  const percent = Math.round(fraction * 100);
  $('job-title').textContent = JOB_TITLES[job.kind];
  $('job-percent').textContent = p ? `${percent}%` : '';
  $('job-bar').setAttribute('aria-valuenow', String(percent));
  $('job-bar').classList.toggle('indeterminate', !p);
  $('job-fill').style.width = `${fraction * 100}%`;
  let message = p?.message ?? (job.kind === 'export' && !job.started ? 'Choose where to save the video…' : 'Starting…');
  if (job.cancelling) message = 'Cancelling…';
  $('job-message').textContent = message;
  const counts = [];
  // An export counts percent in processed/total; the bar already says that.
  if (p && p.total > 0 && job.kind === 'scan') {
    counts.push(`${formatCount(p.processed)} / ${formatCount(p.total)} frames`);
  }
  if (p && typeof p.regions === 'number') counts.push(`${formatCount(p.regions)} regions`);
  $('job-counts').textContent = counts.join(' · ');
  $('cancel-button').disabled = Boolean(job.cancelling);
  // Before the save panel closes there is no job on the native side to cancel.
  $('cancel-button').hidden = job.kind === 'export' && !job.started;
}

// ---------------------------------------------------------------- scan form

export function renderScanForm() {
  const s = state.scan;
  $('scan-all-text').checked = s.allText;
  $('scan-han').checked = s.blurHan;
  $('scan-emails').checked = s.blurEmails;
  $('scan-phones').checked = s.blurPhones;
  $('scan-kinds').classList.toggle('disabled', s.allText);
  for (const el of $('scan-kinds').querySelectorAll('input')) el.disabled = s.allText;
  for (const radio of document.querySelectorAll('#scan-quality input')) radio.checked = radio.value === s.quality;
  $('scan-confidence').value = String(s.confidence);
  $('scan-confidence-value').textContent = formatPercent(s.confidence);
  $('scan-hint').hidden = scanLooksForSomething(s);
  $('scan-button').disabled = !state.video || Boolean(state.job) || !scanLooksForSomething(s);
  for (const set of $('scan-form').querySelectorAll('fieldset')) set.disabled = Boolean(state.job);
  renderTerms();
}

export function renderTerms() {
  const list = $('term-list');
  list.replaceChildren();
  state.scan.customTerms.forEach((term, index) => {
    const li = document.createElement('li');
    li.className = 'chip';
    const edit = document.createElement('button');
    edit.type = 'button';
    edit.className = 'chip-text';
    edit.textContent = term;
    edit.title = 'Edit';
    edit.setAttribute('aria-label', `Edit term “${term}”`);
    edit.disabled = state.scan.allText;
    edit.addEventListener('click', () => {
      const input = $('term-input');
      if (input.value.trim()) state.scan.customTerms = addTerm(state.scan.customTerms, input.value);
      state.scan.customTerms = state.scan.customTerms.filter((t) => t !== term);
      input.value = term;
      renderScanForm();
      input.focus();
      input.select();
    });
    const remove = document.createElement('button');
    remove.type = 'button';
    remove.className = 'chip-remove';
    remove.setAttribute('aria-label', `Remove term “${term}”`);
    remove.innerHTML = '<svg class="icon"><use href="#i-close"/></svg>';
    remove.disabled = state.scan.allText;
    remove.addEventListener('click', () => {
      state.scan.customTerms = state.scan.customTerms.filter((_, i) => i !== index);
      renderScanForm();
      $('term-input').focus();
    });
    li.append(edit, remove);
    list.append(li);
  });
}

export function wireScanForm() {
  const bind = (id, key) => $(id).addEventListener('change', (event) => {
    state.scan[key] = event.target.checked;
    renderScanForm();
  });
  bind('scan-all-text', 'allText');
  bind('scan-han', 'blurHan');
  bind('scan-emails', 'blurEmails');
  bind('scan-phones', 'blurPhones');
  for (const radio of document.querySelectorAll('#scan-quality input')) {
    radio.addEventListener('change', () => { state.scan.quality = radio.value; });
  }
  $('scan-confidence').addEventListener('input', (event) => {
    state.scan.confidence = Number(event.target.value);
    $('scan-confidence-value').textContent = formatPercent(state.scan.confidence);
  });
  const input = $('term-input');
  const take = () => {
    const parts = input.value.split(',');
    for (const part of parts) state.scan.customTerms = addTerm(state.scan.customTerms, part);
    input.value = '';
    renderScanForm();
  };
  input.addEventListener('keydown', (event) => {
    if (event.key === 'Enter') {
      event.preventDefault();
      take();
    } else if (event.key === 'Backspace' && input.value === '' && state.scan.customTerms.length) {
      state.scan.customTerms = state.scan.customTerms.slice(0, -1);
      renderScanForm();
    }
  });
  input.addEventListener('input', () => { if (input.value.includes(',')) take(); });
  input.addEventListener('blur', () => { if (input.value.trim()) take(); });
  $('term-chips').addEventListener('click', (event) => { if (event.target === event.currentTarget) input.focus(); });
  $('scan-form').addEventListener('submit', (event) => {
    event.preventDefault();
    if (input.value.trim()) take();
    startScan();
  });
}

// ---------------------------------------------------------------- tabs

export const TABS = ['scan', 'review', 'style', 'export'];

export function setTab(name, focus = false) {
  state.tab = name;
  for (const t of TABS) {
    const tab = $(`tab-${t}`);
    const selected = t === name;
    tab.setAttribute('aria-selected', String(selected));
    tab.tabIndex = selected ? 0 : -1;
    $(`panel-${t}`).hidden = !selected;
  }
  if (focus) $(`tab-${name}`).focus();
}

export function wireTabs() {
  for (const t of TABS) $(`tab-${t}`).addEventListener('click', () => setTab(t));
  $('tabs').addEventListener('keydown', (event) => {
    const step = { ArrowRight: 1, ArrowLeft: -1 }[event.key];
    let index = TABS.indexOf(state.tab);
    if (step) index = (index + step + TABS.length) % TABS.length;
    else if (event.key === 'Home') index = 0;
    else if (event.key === 'End') index = TABS.length - 1;
    else return;
    event.preventDefault();
    setTab(TABS[index], true);
  });
}

// ---------------------------------------------------------------- toolbar

export function renderToolbar() {
  const draw = $('draw-button');
  draw.setAttribute('aria-pressed', String(state.drawing));
  draw.disabled = !state.video || Boolean(state.job);
  $('add-mask-button').disabled = draw.disabled;
  $('drawing-banner').hidden = !state.drawing;
  $('show-regions').checked = state.preview.showRegions;
  $('preview-enabled').checked = state.preview.enabled;
  $('undo-button').disabled = !history.canUndo && JSON.stringify(state.settings) === JSON.stringify(history.present);
  $('redo-button').disabled = !history.canRedo;
  $('save-review-button').disabled = !state.summary || Boolean(state.job) || state.review.saving;
}

export function renderAll() {
  renderVideo();
  renderPlayer();
  renderScanForm();
  renderJob();
  renderTracks();
  renderMasks();
  renderStyle();
  renderToolbar();
  renderExport();
}

// ---------------------------------------------------------------- keyboard

export const TYPING = new Set(['text', 'search', 'email', 'number', 'tel', 'url', 'password']);

export function isTyping(target) {
  if (!(target instanceof HTMLElement)) return false;
  if (target.isContentEditable || target.tagName === 'TEXTAREA' || target.tagName === 'SELECT') return true;
  return target.tagName === 'INPUT' && TYPING.has(target.type);
}

export function onKeyDown(event) {
  const mod = event.ctrlKey || event.metaKey;
  const key = event.key.toLowerCase();
  if (mod && key === 'z' && !isTyping(event.target)) {
    event.preventDefault();
    if (event.shiftKey) redo(); else undo();
    return;
  }
  if (mod && key === 'y' && !isTyping(event.target)) {
    event.preventDefault();
    redo();
    return;
  }
  if (mod && key === 'o') {
    event.preventDefault();
    if (event.shiftKey) openReview(); else openVideo();
    return;
  }
  if (mod && key === 's') {
    event.preventDefault();
    saveReview(event.shiftKey);
    return;
  }
  if (mod || event.altKey || isTyping(event.target)) return;
  if (event.key === 'Escape' && state.drawing) {
    event.preventDefault();
    setDrawing(false);
    return;
  }
  const onControl = event.target instanceof HTMLElement &&
    (event.target.tagName === 'BUTTON' || (event.target.tagName === 'INPUT' && event.target.type !== 'range'));
  if (event.key === ' ' && !onControl && state.video) {
    event.preventDefault();
    togglePlayback();
  } else if (key === 'm' && state.video) {
    event.preventDefault();
    setDrawing(!state.drawing);
  }
}

// ---------------------------------------------------------------- events from the native side

export function forCurrentVideo(handler) {
  return (payload) => {
    if (state.video && payload && payload.videoId === state.video.id) handler(payload);
  };
}

export function wireBridge() {
  bridge.on('videoSelected', (info) => selectVideo(info));
  bridge.on('jobProgress', onProgress);
  bridge.on('openRequested', (payload) => { if (payload?.path) openRequested(payload); });
  bridge.on('toast', (payload) => notify(payload?.message ?? String(payload), 'warning'));
  bridge.on('command', (payload) => {
    const name = payload?.name;
    if (name === 'open') openVideo();
    else if (name === 'scan') startScan();
    else if (name === 'export') startExport();
    else if (name === 'saveReview') saveReview(false);
    else if (name === 'openReview') openReview();
    else if (name === 'close') closeWindow();
  });
  bridge.on('playerState', forCurrentVideo((s) => {
    state.player = { time: Number.isFinite(s.time) ? s.time : 0, isPlaying: Boolean(s.isPlaying) };
    renderPlayer();
  }));
  bridge.on('regionSelected', forCurrentVideo((s) => selectTrack(s.trackId ?? null, true)));
  bridge.on('manualMaskDrawn', forCurrentVideo((m) => addManualMask(m.rect)));
  bridge.on('drawingEnded', forCurrentVideo(() => {
    state.drawing = false;
    renderToolbar();
    queueLayout();
  }));
}

// ---------------------------------------------------------------- start

export function wireControls() {
  $('open-button').addEventListener('click', openVideo);
  $('empty-open-button').addEventListener('click', openVideo);
  $('play-button').addEventListener('click', togglePlayback);
  $('fit-button').addEventListener('click', () => ask('resetViewport'));
  $('draw-button').addEventListener('click', () => setDrawing(!state.drawing));
  $('add-mask-button').addEventListener('click', () => setDrawing(true));
  $('show-regions').addEventListener('change', (event) => {
    state.preview.showRegions = event.target.checked;
    schedulePreview();
  });
  $('preview-enabled').addEventListener('change', (event) => {
    state.preview.enabled = event.target.checked;
    schedulePreview();
  });
  const seek = $('seek');
  seek.addEventListener('input', () => {
    state.seeking = true;
    const t = Number(seek.value);
    $('current-time').textContent = formatTime(t);
    seekTo(t);
  });
  seek.addEventListener('change', () => { state.seeking = false; });
  $('undo-button').addEventListener('click', undo);
  $('redo-button').addEventListener('click', redo);
  $('export-button').addEventListener('click', startExport);
  $('reveal-button').addEventListener('click', reveal);
  $('check-button').addEventListener('click', startCheck);
  $('cancel-button').addEventListener('click', cancelJob);
  $('save-review-button').addEventListener('click', () => saveReview(false));
  $('open-review-button').addEventListener('click', () => openReview());
  $('previous-occurrence').addEventListener('click', () => stepOccurrence('previous'));
  $('next-occurrence').addEventListener('click', () => stepOccurrence('next'));
  $('tracks-block').addEventListener('keydown', onTrackKey);
  document.addEventListener('keydown', onKeyDown);

  // Files are dropped on the window itself; the page only shows where.
  let depth = 0;
  document.addEventListener('dragenter', () => { depth += 1; document.body.classList.add('dragging'); });
  document.addEventListener('dragleave', () => { depth = Math.max(0, depth - 1); if (!depth) document.body.classList.remove('dragging'); });
  document.addEventListener('drop', () => { depth = 0; document.body.classList.remove('dragging'); });

  const observer = new ResizeObserver(queueLayout);
  observer.observe($('stage'));
  observer.observe($('drag-region'));
  observer.observe(document.documentElement);
  window.addEventListener('resize', queueLayout);
}

export function start() {
  wireBridge();
  wireControls();
  wireScanForm();
  wireStyle();
  wireTabs();
  wirePrompt();
  renderAll();
  setTab('scan');
  if (!bridge.connected) notify('Scrivel’s video engine is not connected. Open this page in the Scrivel app.', 'warning');
  ask('ready');
  reportLayout();
}

start();
