// The settings being edited: manual masks, the mask style, their problems
// and the undo history.

import { formatTime, parseTime } from './format.js';
import { STYLE_KEYS, colorToHex, defaultRenderSettings, hexToColor, parseNumber } from './model.js';
import { renderExport } from './copy.js';
import { renderToolbar, schedulePreview, start } from './main.js';
import { $, clone, history, state } from './page.js';
import { renderTrackStates } from './tracks.js';

// ---------------------------------------------------------------- manual masks

export function renderMasks() {
  const list = $('mask-list');
  list.replaceChildren();
  const masks = state.settings.manualMasks;
  $('masks-empty').hidden = masks.length > 0;
  masks.forEach((mask, index) => list.append(maskRow(mask, index)));
  showProblems();
}

export function maskRow(mask, index) {
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

export const SLIDERS = [...document.querySelectorAll('#style-form .field.slider')];

export function sliderScale(field) {
  return Number(field.dataset.scale ?? 1);
}

export function renderStyle() {
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

export function wireStyle() {
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

export function showProblems() {
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

export function setFieldError(input, holder, message) {
  input.setAttribute('aria-invalid', String(Boolean(message)));
  holder.textContent = message ?? '';
  holder.hidden = !message;
}

// ---------------------------------------------------------------- history

export function commit() {
  history.commit(state.settings);
  renderToolbar();
}

export function restore(snapshot) {
  if (!snapshot) return;
  state.settings = snapshot;
  renderStyle();
  renderTrackStates();
  renderMasks();
  renderToolbar();
  schedulePreview();
}

export function undo() {
  // An edit still being typed is the first thing to undo.
  if (JSON.stringify(state.settings) !== JSON.stringify(history.present)) restore(clone(history.present));
  else restore(history.undo());
}

export function redo() {
  restore(history.redo());
}
