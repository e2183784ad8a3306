// The page's end of the bridge, against a recorded message handler.
import test from 'node:test';
import assert from 'node:assert/strict';
import { Bridge, NOT_CONNECTED } from '../../../web/js/bridge.js';

function fakeWindow() {
  const posted = [];
  const win = { webkit: { messageHandlers: { scrivel: { postMessage: (body) => posted.push(body) } } } };
  return { win, posted };
}

test('requests carry a fresh id, the method, and params only when given', () => {
  const { win, posted } = fakeWindow();
  const bridge = new Bridge(win);
  bridge.request('ready');
  bridge.request('seek', { videoId: 'v', time: 2 });
  assert.equal(posted.length, 2);
  assert.deepEqual(Object.keys(posted[0]).sort(), ['id', 'method']);
  assert.deepEqual(posted[1].params, { videoId: 'v', time: 2 });
  assert.equal(typeof posted[0].id, 'string');
  assert.notEqual(posted[0].id, posted[1].id);
  // Two bridges (two page loads) never reuse each other's ids.
  const other = fakeWindow();
  new Bridge(other.win).request('ready');
  assert.notEqual(other.posted[0].id, posted[0].id);
});

test('resolve and reject settle the request with that id only, once', async () => {
  const { win, posted } = fakeWindow();
  const bridge = new Bridge(win);
  const a = bridge.request('openVideo');
  const b = bridge.request('scanVideo', {});
  win.__scrivel.reject(posted[1].id, { message: 'Choose a video first.' });
  win.__scrivel.resolve(posted[0].id, null);
  win.__scrivel.resolve(posted[0].id, { late: true }); // a second reply is ignored
  win.__scrivel.resolve('unknown', {});
  assert.equal(await a, null);
  await assert.rejects(b, { message: 'Choose a video first.' });
  assert.equal(bridge.pending.size, 0);
});

test('events reach every listener of that name; one failing listener does not stop the rest', () => {
  const { win } = fakeWindow();
  const bridge = new Bridge(win);
  const got = [];
  const quiet = console.error;
  console.error = () => {};
  try {
    bridge.on('playerState', () => { throw new Error('boom'); });
    bridge.on('playerState', (p) => got.push(['a', p.time]));
    const off = bridge.on('playerState', (p) => got.push(['b', p.time]));
    bridge.on('toast', (p) => got.push(['toast', p.message]));
    win.__scrivel.emit('playerState', { time: 1 });
    off();
    win.__scrivel.emit('playerState', { time: 2 });
    win.__scrivel.emit('toast', { message: 'hi' });
    win.__scrivel.emit('nobodyListens', {});
  } finally {
    console.error = quiet;
  }
  assert.deepEqual(got, [['a', 1], ['b', 1], ['a', 2], ['toast', 'hi']]);
});

test('without the native side, requests fail with a readable message', async () => {
  const bridge = new Bridge({});
  await assert.rejects(bridge.request('ready'), { message: NOT_CONNECTED });
});
