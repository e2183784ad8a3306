// The redacted copy: the export, and the check of the copy.

import { newId } from './ids.js';
import { formatCount, formatTime } from './format.js';
import { renderSettingsProblems } from './model.js';
import { hidingTracks } from './review.js';
import { showProblems } from './edits.js';
import { renderAll, seekTo, setTab } from './main.js';
import { $, CANCELLED, ask, bridge, clone, notify, state } from './page.js';
import { isExcluded } from './tracks.js';

// ---------------------------------------------------------------- export

export async function startExport() {
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

export function reveal() {
  if (state.exported) ask('revealInFinder', { path: state.exported });
}

// ---------------------------------------------------------------- check of the copy

/** Reads the exported copy again on the native side and shows what can still be read. */
export async function startCheck() {
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

export function renderCheck() {
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

export function momentRow(moment) {
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

export function listItem(text) {
  const li = document.createElement('li');
  li.textContent = text;
  return li;
}

export function renderExport() {
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
