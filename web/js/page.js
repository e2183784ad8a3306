// What every part of the page shares: the bridge, the state the page
// shows, the settings' edit history, requests to the native side and
// notices to the user.

import { Bridge } from './bridge.js';
import { History } from './history.js';
import { defaultRenderSettings, defaultScanSettings } from './model.js';

export const $ = (id) => document.getElementById(id);
export const clone = (value) => JSON.parse(JSON.stringify(value));
export const CANCELLED = 'Operation cancelled.';

export const bridge = new Bridge(window);

export const state = {
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
export const history = new History(state.settings);

// ---------------------------------------------------------------- requests

/** Sends a request and shows its failure as a notice; resolves to null then. */
export async function ask(method, params) {
  try {
    return await bridge.request(method, params);
  } catch (error) {
    notify(error.message, error.message === CANCELLED ? 'info' : 'error');
    return null;
  }
}

// ---------------------------------------------------------------- notices

export const NOTICE_LIMIT = 4;

export function notify(message, tone = 'error', action) {
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
