import test from 'node:test';
import assert from 'node:assert/strict';
import { History } from '../../../web/js/history.js';

test('undo and redo walk the committed steps', () => {
  const h = new History({ v: 0 });
  assert.equal(h.undo(), null, 'nothing to undo at first');
  for (const v of [1, 2, 3]) assert.equal(h.commit({ v }), true);
  assert.deepEqual(h.undo(), { v: 2 });
  assert.deepEqual(h.undo(), { v: 1 });
  assert.deepEqual(h.redo(), { v: 2 });
  assert.deepEqual(h.redo(), { v: 3 });
  assert.equal(h.redo(), null);
});

test('an unchanged state is not a step; a new step drops the redo branch', () => {
  const h = new History({ v: 0 });
  h.commit({ v: 1 });
  assert.equal(h.commit({ v: 1 }), false);
  h.undo();
  assert.equal(h.canRedo, true);
  h.commit({ v: 5 });
  assert.equal(h.canRedo, false);
  assert.deepEqual(h.undo(), { v: 0 });
});

test('snapshots are copies: later edits of the live object do not leak in', () => {
  const live = { list: [1] };
  const h = new History(live);
  live.list.push(2);
  h.commit(live);
  live.list.push(3);
  assert.deepEqual(h.undo(), { list: [1] });
  const restored = h.redo();
  restored.list.push(99);
  assert.deepEqual(h.present, { list: [1, 2] });
});

test('the number of steps kept is bounded', () => {
  const h = new History({ v: 0 }, 3);
  for (let v = 1; v <= 10; v++) h.commit({ v });
  let steps = 0;
  while (h.undo()) steps += 1;
  assert.equal(steps, 3);
  assert.deepEqual(h.present, { v: 7 });
});
