// Saved reviews: saving, opening and the question about unsaved edits.

import { renderSettingsProblems } from './model.js';
import { showProblems } from './edits.js';
import {
  queueLayout, renderAll, renderToolbar, schedulePreview, selectVideo, setTab,
} from './main.js';
import { $, ask, clone, history, notify, state } from './page.js';

// ---------------------------------------------------------------- saved reviews

export const sameSettings = (a, b) => JSON.stringify(a) === JSON.stringify(b);

/** Tells the native side whether there is a review it should not let go unasked. */
export function reportReviewState() {
  const unsaved = Boolean(state.summary) &&
    (state.review.path === null || !sameSettings(state.settings, state.review.saved));
  if (unsaved === state.review.unsaved) return;
  state.review.unsaved = unsaved;
  if (state.video) document.title = `${state.video.displayName}${unsaved ? ' •' : ''} – Scrivel`;
  ask('setReviewState', { unsaved });
}

/** Saves the scan and the edits; true once written, false when not (cancelled, refused). */
export async function saveReview(saveAs = false) {
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
export async function openReview(path = null) {
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
export async function openRequested({ path, kind }) {
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
export async function mayReplaceReview(doing) {
  if (!state.review.unsaved || !state.summary) return true;
  if (state.prompt) return false;
  const answer = await askAboutUnsavedReview(doing);
  if (answer === 'discard') return true;
  if (answer === 'save') return saveReview(false);
  return false;
}

/** Shows the question; resolves to 'save', 'discard' or 'cancel'. */
export function askAboutUnsavedReview(doing) {
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

export function wirePrompt() {
  const answer = (value) => () => state.prompt?.finish(value);
  $('unsaved-cancel').addEventListener('click', answer('cancel'));
  $('unsaved-discard').addEventListener('click', answer('discard'));
  $('unsaved-save').addEventListener('click', answer('save'));
  // Escape cancels, as the Cancel button does.
  $('unsaved-prompt').addEventListener('cancel', (event) => { event.preventDefault(); state.prompt?.finish('cancel'); });
}

export async function closeWindow() {
  if (await mayReplaceReview('closing Scrivel')) ask('closeWindow');
}
