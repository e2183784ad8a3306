// The review list: the tracks a scan found, grouped by what hides them,
// with the keyboard and the steps through a track's occurrences.

import { formatCount, formatPercent, formatTime } from './format.js';
import { groupState, groupTracks, reviewSummaryText, withGroupExcluded } from './review.js';
import { reveal } from './copy.js';
import { commit } from './edits.js';
import { renderPlayer, schedulePreview, seekTo, setTab } from './main.js';
import { $, ask, notify, state } from './page.js';

// ---------------------------------------------------------------- tracks

export function isExcluded(id) {
  return state.settings.excludedTrackIDs.includes(id);
}

export function setExcluded(id, excluded) {
  const ids = state.settings.excludedTrackIDs.filter((t) => t !== id);
  if (excluded) ids.push(id);
  ids.sort((a, b) => a - b);
  state.settings.excludedTrackIDs = ids;
  commit();
  renderTrackStates();
  schedulePreview();
}

export function setGroupExcluded(group, excluded) {
  state.settings.excludedTrackIDs = withGroupExcluded(state.settings.excludedTrackIDs, group, excluded);
  commit();
  renderTrackStates();
  schedulePreview();
}

// Rows that hide something come first, grouped by what hides them; what was
// read but hides nothing waits, collapsed, below.
export function renderTracks() {
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

export function groupItem(group) {
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

export function trackRow(track, hides) {
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
export function visibleRows() {
  return [...$('tracks-block').querySelectorAll('.track')].filter((li) => li.getClientRects().length > 0);
}

export function onTrackKey(event) {
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

export function renderTrackStates() {
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

export function selectedTrack() {
  return state.summary?.tracks.find((t) => t.id === state.selectedTrackId) ?? null;
}

export function renderOccurrences() {
  const track = selectedTrack();
  $('occurrence-label').textContent = track
    ? `“${track.selectedText || track.text}”: ${formatCount(track.frameCount)} ${track.frameCount === 1 ? 'frame' : 'frames'}`
    : 'Select a row to step through its frames.';
  $('previous-occurrence').disabled = !track;
  $('next-occurrence').disabled = !track;
}

/** Moves the preview to the selected track's next or previous frame. */
export async function stepOccurrence(direction) {
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

export function selectTrack(id, reveal = false) {
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
