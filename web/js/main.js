// Scrivel's page: everything the user sees and does, driven through the
// message bridge. The native side owns the video, the jobs and the player;
// the page owns the settings being edited and shows what the native side says.

import { Bridge } from './bridge.js';
import { History } from './history.js';
import { newId } from './ids.js';
import {
  formatBytes, formatCount, formatFrameRate, formatPercent, formatTime, parseTime,
} from './format.js';
import {
  STYLE_KEYS, addTerm, colorToHex, defaultMaskRange, defaultRenderSettings,
  defaultScanSettings, hexToColor, parseNumber, renderSettingsProblems,
  scanLooksForSomething,
} from './model.js';
import {
  groupState, groupTracks, hidingTracks, reviewSummaryText, withGroupExcluded,
} from './review.js';

const $ = (id) => document.getElementById(id);
const clone = (value) => JSON.parse(JSON.stringify(value));
const CANCELLED = 'Operation cancelled.';

const bridge = new Bridge(window);

const state = {
  video: null,
  scan: defaultScanSettings(),
  summary: null,
  settings: defaultRenderSettings(),
  problems: [],
  selectedTrackId: null,
  player: { time: 0, isPlaying: false },
  preview: { enabled: true, showRegions: false },
  drawing: false,
  job: null,
  openPending: false,
  exported: null,
  check: null, // what the last check of the exported copy found
  tab: 'scan',
  seeking: false,
  // The saved review the current scan belongs to: its file, the settings as
  // saved, and whether the native side was last told of unsaved edits.
  review: { path: null, saved: null, unsaved: false, saving: false },
  prompt: null, // the unsaved-review question while it is open
};
const history = new History(state.settings);

// ---------------------------------------------------------------- requests

/** Sends a request and shows its failure as a notice; resolves to null then. */
async function ask(method, params) {
  try {
    return await bridge.request(method, params);
  } catch (error) {
    notify(error.message, error.message === CANCELLED ? 'info' : 'error');
    return null;
  }
}

// ---------------------------------------------------------------- notices

const NOTICE_LIMIT = 4;

function notify(message, tone = 'error', action) {
  const host = $('notices');
  for (const existing of host.querySelectorAll('.notice')) {
    if (existing.dataset.message === message) existing.remove();
  }
  const notice = document.createElement('div');
  notice.className = `notice ${tone}`;
  notice.dataset.message = message;
  notice.setAttribute('role', tone === 'error' || tone === 'warning' ? 'alert' : 'status');
  const text = document.createElement('p');
  text.textContent = message;
  notice.append(text);
  if (action) {
    const button = document.createElement('button');
    button.type = 'button';
    button.className = 'button small';
    button.textContent = action.label;
    button.addEventListener('click', () => { action.run(); notice.remove(); });
    notice.append(button);
  }
  const close = document.createElement('button');
  close.type = 'button';
  close.className = 'icon-button close';
  close.setAttribute('aria-label', 'Dismiss');
  close.innerHTML = '<svg class="icon"><use href="#i-close"/></svg>';
  close.addEventListener('click', () => notice.remove());
  notice.append(close);
  host.append(notice);
  while (host.children.length > NOTICE_LIMIT) host.firstElementChild.remove();
  if (tone !== 'error') setTimeout(() => notice.remove(), 6000);
}

// ---------------------------------------------------------------- layout reports

let lastPlayerBounds = '';
let lastDragBounds = '';

function boundsOf(element, visible) {
  const r = element.getBoundingClientRect();
  return { x: r.x, y: r.y, width: r.width, height: r.height, visible };
}

/** Tells the native side where the player and the drag strip go, when they moved. */
function reportLayout() {
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

let layoutQueued = false;
function queueLayout() {
  if (layoutQueued) return;
  layoutQueued = true;
  requestAnimationFrame(() => { layoutQueued = false; reportLayout(); });
}

// ---------------------------------------------------------------- preview

let previewQueued = false;

/** Validates the settings, shows what is wrong, and sends them if they pass. */
function schedulePreview() {
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

async function openVideo() {
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

function selectVideo(info) {
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

function renderVideo() {
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

const JOB_PHASES = { scan: 'scanning', export: 'exporting', verify: 'checking' };
const JOB_TITLES = { scan: 'Scanning', export: 'Exporting', verify: 'Checking the copy' };

function phase() {
  if (!state.video) return 'empty';
  if (state.job) return JOB_PHASES[state.job.kind];
  return state.summary ? 'review' : 'loaded';
}

// ---------------------------------------------------------------- playback

function renderPlayer() {
  const { time, isPlaying } = state.player;
  $('current-time').textContent = formatTime(time);
  if (!state.seeking) $('seek').value = String(time);
  $('seek').setAttribute('aria-valuetext', formatTime(time));
  const play = $('play-button');
  play.setAttribute('aria-label', isPlaying ? 'Pause' : 'Play');
  play.title = isPlaying ? 'Pause (Space)' : 'Play (Space)';
  play.querySelector('use').setAttribute('href', isPlaying ? '#i-pause' : '#i-play');
}

function togglePlayback() {
  if (state.video) ask('togglePlayback', { videoId: state.video.id });
}

let seekTarget = null;
function seekTo(time) {
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

function setDrawing(enabled) {
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

function addManualMask(rect) {
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

async function startScan() {
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

function cancelJob() {
  const job = state.job;
  if (!job || job.cancelling) return;
  job.cancelling = true;
  renderJob();
  ask('cancelJob', { jobId: job.id });
}

function onProgress(p) {
  const job = state.job;
  if (!job || p.id !== job.id || p.videoId !== job.videoId) return;
  job.progress = p;
  job.started = true;
  renderJob();
}

function renderJob() {
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

// ---------------------------------------------------------------- tracks

function isExcluded(id) {
  return state.settings.excludedTrackIDs.includes(id);
}

function setExcluded(id, excluded) {
  const ids = state.settings.excludedTrackIDs.filter((t) => t !== id);
  if (excluded) ids.push(id);
  ids.sort((a, b) => a - b);
  state.settings.excludedTrackIDs = ids;
  commit();
  renderTrackStates();
  schedulePreview();
}

function setGroupExcluded(group, excluded) {
  state.settings.excludedTrackIDs = withGroupExcluded(state.settings.excludedTrackIDs, group, excluded);
  commit();
  renderTrackStates();
  schedulePreview();
}

// Rows that hide something come first, grouped by what hides them; what was
// read but hides nothing waits, collapsed, below.
function renderTracks() {
  const list = $('track-list');
  const summary = state.summary;
  $('review-empty').hidden = Boolean(summary);
  $('tracks-block').hidden = !summary;
  list.replaceChildren();
  $('other-list').replaceChildren();
  if (!summary) return;
  const { groups, other } = groupTracks(summary.tracks);
  if (!groups.length) {
    const li = document.createElement('li');
    li.className = 'tracks-empty muted';
    li.textContent = 'Nothing to hide was found. Try other kinds, your own terms, or a lower confidence.';
    list.append(li);
  }
  for (const group of groups) list.append(groupItem(group));
  $('other-text').hidden = other.length === 0;
  $('other-count').textContent = `(${formatCount(other.length)})`;
  for (const track of other) $('other-list').append(trackRow(track, false));
  renderTrackStates();
}

function groupItem(group) {
  const li = document.createElement('li');
  li.className = 'track-group';
  li.dataset.kind = group.kind;
  const head = document.createElement('div');
  head.className = 'group-head';
  const label = document.createElement('label');
  const toggle = document.createElement('input');
  toggle.type = 'checkbox';
  toggle.className = 'group-toggle';
  toggle.setAttribute('aria-label', `Hide all ${group.title.toLowerCase()}`);
  toggle.addEventListener('change', () => setGroupExcluded(group, !toggle.checked));
  const title = document.createElement('span');
  title.className = 'group-title';
  title.textContent = group.title;
  label.append(toggle, title);
  const count = document.createElement('span');
  count.className = 'group-count';
  count.textContent = String(group.tracks.length);
  count.setAttribute('aria-label', `${group.tracks.length} in this group`);
  head.append(label, count);
  const rows = document.createElement('ul');
  rows.className = 'tracks';
  rows.setAttribute('aria-label', group.title);
  for (const track of group.tracks) rows.append(trackRow(track, true));
  li.append(head, rows);
  li.group = group;
  return li;
}

function trackRow(track, hides) {
  const li = document.createElement('li');
  li.className = hides ? 'track' : 'track other';
  li.dataset.id = String(track.id);
  const shown = hides ? (track.selectedText || track.text) : track.text;

  if (hides) {
    const toggle = document.createElement('input');
    toggle.type = 'checkbox';
    toggle.className = 'track-toggle';
    toggle.tabIndex = -1; // Space on the row toggles it; Tab goes from row to row group by group
    toggle.setAttribute('aria-label', `Hide “${shown}”`);
    toggle.title = 'Hide this text in the export';
    toggle.addEventListener('change', () => setExcluded(track.id, !toggle.checked));
    li.append(toggle);
  }

  const main = document.createElement('button');
  main.type = 'button';
  main.className = 'track-main';
  const hidden = document.createElement('span');
  hidden.className = 'track-hidden';
  hidden.textContent = shown;
  const line = document.createElement('span');
  line.className = 'track-line';
  line.textContent = track.text;
  line.hidden = !hides || !track.selectedText || track.text === track.selectedText;
  const meta = document.createElement('span');
  meta.className = 'track-meta';
  meta.textContent = [
    `${formatTime(track.startTime)} – ${formatTime(track.endTime)}`,
    `${formatCount(track.frameCount)} ${track.frameCount === 1 ? 'frame' : 'frames'}`,
    `${formatPercent(track.confidence)} sure`,
  ].join(' · ');
  main.append(hidden, line, meta);
  main.addEventListener('click', () => {
    selectTrack(track.id);
    seekTo(track.startTime);
  });
  main.addEventListener('focus', () => { if (state.selectedTrackId !== track.id) selectTrack(track.id); });
  li.append(main);
  li.track = track;
  return li;
}

/** The rows the arrow keys move through: every row shown, the other text only while open. */
function visibleRows() {
  return [...$('tracks-block').querySelectorAll('.track')].filter((li) => li.getClientRects().length > 0);
}

function onTrackKey(event) {
  const li = event.target instanceof HTMLElement ? event.target.closest('.track') : null;
  if (!li || !event.target.classList.contains('track-main') || event.ctrlKey || event.metaKey || event.altKey) return;
  const rows = visibleRows();
  const index = rows.indexOf(li);
  const move = { ArrowDown: index + 1, ArrowUp: index - 1, Home: 0, End: rows.length - 1 }[event.key];
  if (move !== undefined) {
    event.preventDefault();
    rows[Math.min(Math.max(move, 0), rows.length - 1)]?.querySelector('.track-main').focus();
  } else if (event.key === ' ') {
    event.preventDefault();
    const toggle = li.querySelector('.track-toggle');
    if (toggle) setExcluded(li.track.id, toggle.checked);
  } else if (event.key === 'Enter') {
    event.preventDefault();
    selectTrack(li.track.id);
    seekTo(li.track.startTime);
  }
}

function renderTrackStates() {
  for (const li of $('tracks-block').querySelectorAll('.track')) {
    const id = Number(li.dataset.id);
    const excluded = !li.classList.contains('other') && isExcluded(id);
    li.classList.toggle('excluded', excluded);
    const toggle = li.querySelector('.track-toggle');
    if (toggle) toggle.checked = !excluded;
    const selected = id === state.selectedTrackId;
    li.classList.toggle('selected', selected);
    li.querySelector('.track-main').setAttribute('aria-pressed', String(selected));
  }
  for (const li of $('track-list').querySelectorAll('.track-group')) {
    const toggle = li.querySelector('.group-toggle');
    const groupNow = groupState(li.group, state.settings.excludedTrackIDs);
    // A half-hidden group's box hides the rest when ticked.
    toggle.checked = groupNow === 'hidden';
    toggle.indeterminate = groupNow === 'mixed';
  }
  if (state.summary) {
    $('tracks-summary').textContent = reviewSummaryText(state.summary.tracks, state.settings.excludedTrackIDs);
  }
  renderOccurrences();
}

function selectedTrack() {
  return state.summary?.tracks.find((t) => t.id === state.selectedTrackId) ?? null;
}

function renderOccurrences() {
  const track = selectedTrack();
  $('occurrence-label').textContent = track
    ? `“${track.selectedText || track.text}”: ${formatCount(track.frameCount)} ${track.frameCount === 1 ? 'frame' : 'frames'}`
    : 'Select a row to step through its frames.';
  $('previous-occurrence').disabled = !track;
  $('next-occurrence').disabled = !track;
}

/** Moves the preview to the selected track's next or previous frame. */
async function stepOccurrence(direction) {
  const track = selectedTrack();
  if (!track || !state.video) return;
  const videoId = state.video.id;
  const reply = await ask('stepTrack', { videoId, trackId: track.id, time: state.player.time, direction });
  if (!reply || !state.video || state.video.id !== videoId) return;
  if (reply.time === null) {
    notify(direction === 'next' ? 'No later frame shows this text.' : 'No earlier frame shows this text.', 'info');
    return;
  }
  // Taken at once, so that a second press steps on from here.
  state.player.time = reply.time;
  renderPlayer();
  seekTo(reply.time);
}

function selectTrack(id, reveal = false) {
  state.selectedTrackId = id;
  if (reveal && id !== null) $('other-text').open ||= Boolean($('other-list').querySelector(`.track[data-id="${id}"]`));
  renderTrackStates();
  if (reveal && id !== null) {
    setTab('review');
    const row = $('tracks-block').querySelector(`.track[data-id="${id}"]`);
    if (row?.closest('#other-text')) $('other-text').open = true;
    row?.scrollIntoView({ block: 'nearest' });
  }
}

// ---------------------------------------------------------------- manual masks

function renderMasks() {
  const list = $('mask-list');
  list.replaceChildren();
  const masks = state.settings.manualMasks;
  $('masks-empty').hidden = masks.length > 0;
  masks.forEach((mask, index) => list.append(maskRow(mask, index)));
  showProblems();
}

function maskRow(mask, index) {
  const li = document.createElement('li');
  li.className = 'mask';
  li.dataset.index = String(index);
  li.dataset.id = mask.id;
  const name = `Mask ${index + 1}`;

  const head = document.createElement('div');
  head.className = 'mask-head';
  const enabled = document.createElement('input');
  enabled.type = 'checkbox';
  enabled.checked = mask.enabled;
  enabled.className = 'mask-enabled';
  enabled.setAttribute('aria-label', `${name} on`);
  enabled.addEventListener('change', () => {
    mask.enabled = enabled.checked;
    li.classList.toggle('off', !mask.enabled);
    commit();
    schedulePreview();
  });
  const title = document.createElement('span');
  title.className = 'mask-title';
  title.textContent = name;
  const where = document.createElement('span');
  where.className = 'mask-where muted';
  const r = mask.rect;
  where.textContent = `${Math.round(r.width * 100)}% × ${Math.round(r.height * 100)}% at ${Math.round(r.x * 100)}%, ${Math.round(r.y * 100)}%`;
  const remove = document.createElement('button');
  remove.type = 'button';
  remove.className = 'icon-button mask-delete';
  remove.setAttribute('aria-label', `Delete ${name}`);
  remove.innerHTML = '<svg class="icon"><use href="#i-trash"/></svg>';
  remove.addEventListener('click', () => {
    state.settings.manualMasks = state.settings.manualMasks.filter((m) => m.id !== mask.id);
    commit();
    renderMasks();
    schedulePreview();
    $('add-mask-button').focus();
  });
  head.append(enabled, title, where, remove);

  const times = document.createElement('div');
  times.className = 'mask-times';
  for (const key of ['startTime', 'endTime']) {
    const label = document.createElement('label');
    label.textContent = key === 'startTime' ? 'From' : 'Until';
    const input = document.createElement('input');
    input.type = 'text';
    input.inputMode = 'decimal';
    input.className = `mask-${key === 'startTime' ? 'start' : 'end'}`;
    input.value = formatTime(mask[key]);
    input.setAttribute('aria-label', `${name} ${key === 'startTime' ? 'start' : 'end'} time`);
    input.addEventListener('input', () => {
      mask[key] = parseTime(input.value);
      schedulePreview();
    });
    input.addEventListener('change', () => {
      if (Number.isFinite(mask[key])) input.value = formatTime(mask[key]);
      commit();
    });
    const now = document.createElement('button');
    now.type = 'button';
    now.className = 'link-button';
    now.textContent = 'now';
    now.title = 'Set to the current time';
    now.setAttribute('aria-label', `Set ${name} ${key === 'startTime' ? 'start' : 'end'} to the current time`);
    now.addEventListener('click', () => {
      mask[key] = Math.round(state.player.time * 1000) / 1000;
      input.value = formatTime(mask[key]);
      commit();
      schedulePreview();
    });
    label.append(input, now);
    times.append(label);
  }
  const error = document.createElement('p');
  error.className = 'error';
  error.hidden = true;
  li.append(head, times, error);
  li.classList.toggle('off', !mask.enabled);
  return li;
}

// ---------------------------------------------------------------- style

const SLIDERS = [...document.querySelectorAll('#style-form .field.slider')];

function sliderScale(field) {
  return Number(field.dataset.scale ?? 1);
}

function renderStyle() {
  const s = state.settings;
  for (const radio of document.querySelectorAll('#style-kind input')) radio.checked = radio.value === s.style;
  for (const el of document.querySelectorAll('#style-form [data-for]')) el.hidden = el.dataset.for !== s.style;
  for (const field of SLIDERS) {
    const key = field.dataset.key;
    const [range, text] = field.querySelectorAll('input');
    const shown = s[key] * sliderScale(field);
    if (Number.isFinite(shown)) range.value = String(shown);
    if (document.activeElement !== text) text.value = Number.isFinite(shown) ? String(Math.round(shown * 100) / 100) : text.value;
  }
  if (Number.isInteger(s.solidColor)) {
    $('style-solidColor').value = colorToHex(s.solidColor);
    $('style-solidColor-text').textContent = colorToHex(s.solidColor).toUpperCase();
  }
  $('style-skeletonAnimation').checked = s.skeletonAnimation;
  for (const input of document.querySelectorAll('#style-form .padding input')) {
    const v = s.padding[input.dataset.side];
    if (document.activeElement !== input && Number.isFinite(v)) input.value = String(v);
  }
}

function wireStyle() {
  for (const radio of document.querySelectorAll('#style-kind input')) {
    radio.addEventListener('change', () => {
      state.settings.style = radio.value;
      commit();
      renderStyle();
      schedulePreview();
    });
  }
  for (const field of SLIDERS) {
    const key = field.dataset.key;
    const scale = sliderScale(field);
    const [range, text] = field.querySelectorAll('input');
    range.addEventListener('input', () => {
      state.settings[key] = Number(range.value) / scale;
      text.value = range.value;
      schedulePreview();
    });
    range.addEventListener('change', commit);
    text.addEventListener('input', () => {
      const value = parseNumber(text.value);
      state.settings[key] = value / scale;
      if (Number.isFinite(value)) range.value = String(value);
      schedulePreview();
    });
    text.addEventListener('change', commit);
    text.addEventListener('keydown', (event) => {
      const step = { ArrowUp: 1, ArrowDown: -1 }[event.key];
      const current = parseNumber(text.value);
      if (!step || !Number.isFinite(current)) return;
      event.preventDefault();
      const next = Math.max(0, current + step * (event.shiftKey ? 10 : 1));
      text.value = String(Math.round(next * 100) / 100);
      text.dispatchEvent(new Event('input'));
      commit();
    });
  }
  $('style-solidColor').addEventListener('input', (event) => {
    state.settings.solidColor = hexToColor(event.target.value);
    $('style-solidColor-text').textContent = event.target.value.toUpperCase();
    schedulePreview();
  });
  $('style-solidColor').addEventListener('change', commit);
  $('style-skeletonAnimation').addEventListener('change', (event) => {
    state.settings.skeletonAnimation = event.target.checked;
    commit();
    schedulePreview();
  });
  for (const input of document.querySelectorAll('#style-form .padding input')) {
    input.addEventListener('input', () => {
      state.settings.padding[input.dataset.side] = parseNumber(input.value);
      schedulePreview();
    });
    input.addEventListener('change', commit);
  }
  $('style-reset').addEventListener('click', () => {
    const defaults = defaultRenderSettings();
    for (const key of STYLE_KEYS) state.settings[key] = clone(defaults[key]);
    commit();
    renderStyle();
    schedulePreview();
  });
  $('style-form').addEventListener('submit', (event) => event.preventDefault());
}

// ---------------------------------------------------------------- problems

function showProblems() {
  const byField = new Map();
  for (const p of state.problems) if (!byField.has(p.field)) byField.set(p.field, p.message);

  for (const field of SLIDERS) {
    const key = field.dataset.key;
    setFieldError(field.querySelector('input[type=text]'), $(`err-${key}`), byField.get(key));
  }
  setFieldError($('style-solidColor'), $('err-solidColor'), byField.get('solidColor'));
  let paddingMessage;
  for (const input of document.querySelectorAll('#style-form .padding input')) {
    const message = byField.get(`padding.${input.dataset.side}`);
    input.setAttribute('aria-invalid', String(Boolean(message)));
    paddingMessage ??= message;
  }
  const paddingError = $('err-padding');
  paddingError.textContent = paddingMessage ?? '';
  paddingError.hidden = !paddingMessage;

  for (const li of $('mask-list').querySelectorAll('.mask')) {
    const i = li.dataset.index;
    const messages = [];
    for (const [key, cls] of [['startTime', '.mask-start'], ['endTime', '.mask-end']]) {
      const message = byField.get(`mask:${i}:${key}`);
      li.querySelector(cls).setAttribute('aria-invalid', String(Boolean(message)));
      if (message) messages.push(message);
    }
    for (const key of ['id', 'rect']) {
      const message = byField.get(`mask:${i}:${key}`);
      if (message) messages.push(message);
    }
    const error = li.querySelector('.error');
    error.textContent = messages.join(' ');
    error.hidden = messages.length === 0;
  }

  const styleBad = state.problems.some((p) => !p.field.startsWith('mask:'));
  const masksBad = state.problems.some((p) => p.field.startsWith('mask:'));
  $('tab-style').classList.toggle('has-problem', styleBad);
  $('tab-review').classList.toggle('has-problem', masksBad);
  renderExport();
}

function setFieldError(input, holder, message) {
  input.setAttribute('aria-invalid', String(Boolean(message)));
  holder.textContent = message ?? '';
  holder.hidden = !message;
}

// ---------------------------------------------------------------- history

function commit() {
  history.commit(state.settings);
  renderToolbar();
}

function restore(snapshot) {
  if (!snapshot) return;
  state.settings = snapshot;
  renderStyle();
  renderTrackStates();
  renderMasks();
  renderToolbar();
  schedulePreview();
}

function undo() {
  // An edit still being typed is the first thing to undo.
  if (JSON.stringify(state.settings) !== JSON.stringify(history.present)) restore(clone(history.present));
  else restore(history.undo());
}

function redo() {
  restore(history.redo());
}

// ---------------------------------------------------------------- saved reviews

const sameSettings = (a, b) => JSON.stringify(a) === JSON.stringify(b);

/** Tells the native side whether there is a review it should not let go unasked. */
function reportReviewState() {
  const unsaved = Boolean(state.summary) &&
    (state.review.path === null || !sameSettings(state.settings, state.review.saved));
  if (unsaved === state.review.unsaved) return;
  state.review.unsaved = unsaved;
  if (state.video) document.title = `${state.video.displayName}${unsaved ? ' •' : ''} – Scrivel`;
  ask('setReviewState', { unsaved });
}

/** Saves the scan and the edits; true once written, false when not (cancelled, refused). */
async function saveReview(saveAs = false) {
  if (state.review.saving) return false;
  if (!state.video || !state.summary) { notify('Scan the video before saving a review.'); return false; }
  state.problems = renderSettingsProblems(state.settings, state.video.duration);
  showProblems();
  if (state.problems.length) {
    notify(`Fix the marked settings before saving: ${state.problems[0].message}`);
    return false;
  }
  const settings = clone(state.settings);
  const videoId = state.video.id;
  state.review.saving = true;
  renderToolbar();
  try {
    const saved = await ask('saveReview', { videoId, renderSettings: settings, saveAs });
    if (!saved || !state.video || state.video.id !== videoId) return false;
    state.review.path = saved.path;
    state.review.saved = settings;
    reportReviewState();
    notify(`The review is saved to ${saved.path}.`, 'success');
    return true;
  } finally {
    state.review.saving = false;
    renderToolbar();
  }
}

/** Opens a review file (the chooser when `path` is null) and restores it. */
async function openReview(path = null) {
  if (state.openPending) return;
  state.openPending = true;
  try {
    if (!(await mayReplaceReview('opening another review'))) return;
    const opened = await ask('openReview', { path });
    if (!opened) return;
    selectVideo(opened.video);
    state.scan = opened.scanSettings;
    state.summary = opened.summary;
    state.settings = opened.renderSettings;
    state.review = { path: opened.path, saved: clone(opened.renderSettings), unsaved: state.review.unsaved, saving: false };
    history.reset(state.settings);
    renderAll();
    setTab('review');
    schedulePreview();
    notify(`Opened the review of ${opened.video.displayName}.`, 'success');
  } finally {
    state.openPending = false;
  }
}

/** A file opened from outside: the page opens it, once the user agrees. */
async function openRequested({ path, kind }) {
  if (kind === 'review') { openReview(path); return; }
  if (state.openPending) return;
  state.openPending = true;
  try {
    if (!(await mayReplaceReview('opening another recording'))) return;
    const info = await ask('openVideoFile', { path });
    if (info) selectVideo(info);
  } finally {
    state.openPending = false;
  }
}

/**
 * Asks before an unsaved review goes: true to go on (saved, or let go),
 * false to stay. Without unsaved edits it goes on at once.
 */
async function mayReplaceReview(doing) {
  if (!state.review.unsaved || !state.summary) return true;
  if (state.prompt) return false;
  const answer = await askAboutUnsavedReview(doing);
  if (answer === 'discard') return true;
  if (answer === 'save') return saveReview(false);
  return false;
}

/** Shows the question; resolves to 'save', 'discard' or 'cancel'. */
function askAboutUnsavedReview(doing) {
  const dialog = $('unsaved-prompt');
  $('unsaved-text').textContent =
    `The scan of ${state.video.displayName} and your choices about it have not been saved. Save them as a review before ${doing}, or they are lost.`;
  return new Promise((resolve) => {
    const finish = (answer) => {
      state.prompt = null;
      dialog.close();
      queueLayout();
      resolve(answer);
    };
    state.prompt = { finish };
    queueLayout();
    dialog.showModal();
    $('unsaved-save').focus();
  });
}

function wirePrompt() {
  const answer = (value) => () => state.prompt?.finish(value);
  $('unsaved-cancel').addEventListener('click', answer('cancel'));
  $('unsaved-discard').addEventListener('click', answer('discard'));
  $('unsaved-save').addEventListener('click', answer('save'));
  // Escape cancels, as the Cancel button does.
  $('unsaved-prompt').addEventListener('cancel', (event) => { event.preventDefault(); state.prompt?.finish('cancel'); });
}

async function closeWindow() {
  if (await mayReplaceReview('closing Scrivel')) ask('closeWindow');
}

// ---------------------------------------------------------------- export

async function startExport() {
  if (!state.video) { notify('Choose a video first.'); return; }
  if (state.job) { notify('Wait for the running job to finish, or cancel it.', 'info'); return; }
  if (!state.summary) { notify('Scan the video before exporting.'); setTab('scan'); return; }
  state.problems = renderSettingsProblems(state.settings, state.video.duration);
  showProblems();
  if (state.problems.length) {
    notify(`Fix the marked settings before exporting: ${state.problems[0].message}`);
    setTab(state.problems[0].field.startsWith('mask:') ? 'review' : 'style');
    return;
  }
  const job = { id: newId('export'), kind: 'export', videoId: state.video.id, progress: null };
  state.job = job;
  state.drawing = false;
  state.exported = null;
  state.check = null;
  renderAll();
  setTab('export');
  try {
    const result = await bridge.request('exportVideo', {
      videoId: job.videoId, jobId: job.id, settings: clone(state.settings),
    });
    if (state.job !== job) return;
    state.job = null;
    if (result) {
      state.exported = result.outputPath;
      notify('The redacted video is saved.', 'success', { label: 'Show in folder', run: reveal });
    }
    renderAll();
  } catch (error) {
    if (state.job === job) state.job = null;
    renderAll();
    notify(error.message, error.message === CANCELLED ? 'info' : 'error');
  }
}

function reveal() {
  if (state.exported) ask('revealInFinder', { path: state.exported });
}

// ---------------------------------------------------------------- check of the copy

/** Reads the exported copy again on the native side and shows what can still be read. */
async function startCheck() {
  if (!state.video) { notify('Choose a video first.'); return; }
  if (state.job) { notify('Wait for the running job to finish, or cancel it.', 'info'); return; }
  if (!state.exported) { notify('Export a copy before checking it.'); return; }
  const job = { id: newId('check'), kind: 'verify', videoId: state.video.id, progress: null };
  state.job = job;
  state.drawing = false;
  state.check = null;
  renderAll();
  setTab('export');
  try {
    const check = await bridge.request('checkCopy', { videoId: job.videoId, jobId: job.id });
    if (state.job !== job) return;
    state.job = null;
    state.check = check;
    renderAll();
    if (check.moments.length) notify('Text that should be hidden can still be read in the copy.', 'warning');
    else if (check.differences.length) notify('The copy differs from the original.', 'warning');
    else notify('No readable text found in the copy.', 'success');
  } catch (error) {
    if (state.job === job) state.job = null;
    renderAll();
    notify(error.message, error.message === CANCELLED ? 'info' : 'error');
  }
}

function renderCheck() {
  const check = state.check;
  const block = $('check-result');
  block.hidden = !check;
  $('check-button').disabled = !state.exported || Boolean(state.job);
  const moments = $('check-moments');
  const differences = $('check-differences');
  const notes = $('check-notes');
  moments.replaceChildren();
  differences.replaceChildren();
  notes.replaceChildren();
  if (!check) return;
  const readable = check.moments.length > 0;
  block.classList.toggle('clean', !readable && check.differences.length === 0);
  block.classList.toggle('readable', readable);
  $('check-summary').textContent = `${formatCount(check.framesRead)} ${check.framesRead === 1 ? 'frame' : 'frames'} read`;
  $('check-verdict').textContent = readable
    ? `Text that should be hidden can still be read at ${check.moments.length} ${check.moments.length === 1 ? 'moment' : 'moments'}:`
    : 'No readable text found in the copy';
  for (const moment of check.moments) moments.append(momentRow(moment));
  $('check-differences-title').hidden = check.differences.length === 0;
  for (const text of check.differences) differences.append(listItem(text));
  for (const text of check.notes) notes.append(listItem(text));
}

function momentRow(moment) {
  const li = document.createElement('li');
  li.className = 'check-moment';
  const main = document.createElement('button');
  main.type = 'button';
  main.className = 'check-moment-main';
  main.title = 'Show this moment in the preview';
  const kind = document.createElement('span');
  kind.className = 'check-moment-kind';
  kind.textContent = moment.description;
  const text = document.createElement('span');
  text.className = 'check-moment-text';
  text.textContent = `“${moment.text}”`;
  const meta = document.createElement('span');
  meta.className = 'track-meta';
  const times = moment.endTime > moment.startTime
    ? `${formatTime(moment.startTime)} – ${formatTime(moment.endTime)}`
    : formatTime(moment.startTime);
  meta.textContent = `${times} · ${formatCount(moment.frameCount)} ${moment.frameCount === 1 ? 'frame' : 'frames'}`;
  main.append(kind, text, meta);
  main.addEventListener('click', () => seekTo(moment.startTime));
  li.append(main);
  return li;
}

function listItem(text) {
  const li = document.createElement('li');
  li.textContent = text;
  return li;
}

function renderExport() {
  const blocked = [];
  if (!state.summary) blocked.push('Scan the video first.');
  if (state.problems.length) blocked.push('Some mask settings need fixing (marked in red).');
  $('export-blocked').textContent = state.summary ? blocked.join(' ') : '';
  $('export-blocked').hidden = !state.summary || blocked.length === 0;
  $('export-button').disabled = !state.video || Boolean(state.job) || blocked.length > 0;
  if (state.summary) {
    const hiding = hidingTracks(state.summary.tracks);
    const hidden = hiding.filter((t) => !isExcluded(t.id)).length;
    const masks = state.settings.manualMasks.filter((m) => m.enabled).length;
    $('export-summary').textContent =
      `${hidden} of ${hiding.length} found ${hiding.length === 1 ? 'text' : 'texts'} and ${masks} drawn ${masks === 1 ? 'mask' : 'masks'} will be hidden with the ${state.settings.style} style. The original file is never changed.`;
  }
  $('export-result').hidden = !state.exported;
  $('export-path').textContent = state.exported ?? '';
  renderCheck();
}

// ---------------------------------------------------------------- scan form

function renderScanForm() {
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

function renderTerms() {
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

function wireScanForm() {
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

const TABS = ['scan', 'review', 'style', 'export'];

function setTab(name, focus = false) {
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

function wireTabs() {
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

function renderToolbar() {
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

function renderAll() {
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

const TYPING = new Set(['text', 'search', 'email', 'number', 'tel', 'url', 'password']);

function isTyping(target) {
  if (!(target instanceof HTMLElement)) return false;
  if (target.isContentEditable || target.tagName === 'TEXTAREA' || target.tagName === 'SELECT') return true;
  return target.tagName === 'INPUT' && TYPING.has(target.type);
}

function onKeyDown(event) {
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

function forCurrentVideo(handler) {
  return (payload) => {
    if (state.video && payload && payload.videoId === state.video.id) handler(payload);
  };
}

function wireBridge() {
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

function wireControls() {
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

function start() {
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
