// The review list's grouping and counts, as the page shows them.
import test from 'node:test';
import assert from 'node:assert/strict';
import {
  GROUPS, groupOf, groupState, groupTracks, reviewSummaryText, withGroupExcluded,
} from '../../../web/js/review.js';

const track = (id, kinds) => ({ id, text: `line ${id}`, selectedText: kinds.length ? `span ${id}` : '', kinds });

test('a track goes under the first group of its kinds; one that hides nothing under none', () => {
  assert.equal(groupOf(track(1, ['han', 'email'])), 'email', 'e-mail comes before Chinese text');
  assert.equal(groupOf(track(2, ['all', 'custom'])), 'custom');
  assert.equal(groupOf(track(3, [])), null);
  assert.equal(groupOf({ id: 4 }), null, 'a track without kinds hides nothing');
  assert.deepEqual(GROUPS.map((g) => g.title),
    ['E-mail addresses', 'Phone numbers', 'Chinese text', 'Your terms', 'All text']);
});

test('groups keep only what they hold, in the list order, with the summary order inside', () => {
  const tracks = [track(1, []), track(2, ['han']), track(3, ['email']), track(4, ['phone', 'han']), track(5, ['han']), track(6, [])];
  const { groups, other } = groupTracks(tracks);
  assert.deepEqual(groups.map((g) => [g.kind, g.tracks.map((t) => t.id)]),
    [['email', [3]], ['phone', [4]], ['han', [2, 5]]]);
  assert.deepEqual(other.map((t) => t.id), [1, 6]);
});

test('group toggles and their states', () => {
  const { groups: [han] } = groupTracks([track(2, ['han']), track(5, ['han']), track(7, ['han'])]);
  assert.equal(groupState(han, []), 'hidden');
  assert.equal(groupState(han, [5, 99]), 'mixed');
  assert.equal(groupState(han, [2, 5, 7]), 'visible');
  assert.deepEqual(withGroupExcluded([9, 5, 1], han, true), [1, 2, 5, 7, 9], 'sorted, without repeats');
  assert.deepEqual(withGroupExcluded([1, 2, 5, 7, 9], han, false), [1, 9], 'other exclusions stay');
});

test('the summary counts what is hidden, not every line read', () => {
  const tracks = [track(1, ['email']), track(2, ['phone']), track(3, []), track(4, []), track(5, [])];
  assert.equal(reviewSummaryText(tracks, []), '2 pieces of text hidden, 3 other lines read');
  assert.equal(reviewSummaryText(tracks, [2, 3]), '1 piece of text hidden, 1 left visible, 3 other lines read',
    'excluding a line that hides nothing changes nothing');
  assert.equal(reviewSummaryText([track(1, [])], []), '0 pieces of text hidden, 1 other line read');
});
