import test from 'node:test';
import assert from 'node:assert/strict';
import { formatBytes, formatFrameRate, formatPercent, formatTime, parseTime } from '../../../web/js/format.js';

test('times read as m:ss.t, and what is shown can be typed back', () => {
  const cases = [
    [0, '0:00.0'], [0.04, '0:00.0'], [0.05, '0:00.1'], [9.96, '0:10.0'], [59.95, '1:00.0'],
    [65.25, '1:05.3'], [599.9, '9:59.9'], [3600, '1:00:00.0'], [3725.5, '1:02:05.5'],
    [-1, '0:00.0'], [NaN, '0:00.0'],
  ];
  for (const [seconds, text] of cases) assert.equal(formatTime(seconds), text, String(seconds));
  for (const seconds of [0, 1.5, 12.5, 61.2, 3725.5]) assert.equal(parseTime(formatTime(seconds)), seconds);
});

test('typed times: seconds or clock form', () => {
  const ok = [['4', 4], ['9.5', 9.5], ['.5', 0.5], ['0:20', 20], ['1:05.25', 65.25], ['1:00:00', 3600], [' 2:03 ', 123]];
  for (const [text, value] of ok) assert.equal(parseTime(text), value, text);
  for (const text of ['', 'abc', '-1', '1:60', '1:2:3:4', '1:', ':30', '5s']) {
    assert.ok(Number.isNaN(parseTime(text)), `"${text}" is refused`);
  }
});

test('file sizes, frame rates and percentages', () => {
  const sizes = [[0, 'size unknown'], [999, '999 bytes'], [1000, '1.0 KB'], [1500, '1.5 KB'], [48_200_000, '48 MB'], [4_404_019, '4.4 MB'], [2.5e9, '2.5 GB']];
  for (const [bytes, text] of sizes) assert.equal(formatBytes(bytes), text, String(bytes));
  const rates = [[30, '30 fps'], [29.97002997, '29.97 fps'], [59.94, '59.94 fps'], [0, 'frame rate unknown'], [23.976, '23.98 fps']];
  for (const [fps, text] of rates) assert.equal(formatFrameRate(fps), text, String(fps));
  assert.equal(formatPercent(0.934), '93%');
  assert.equal(formatPercent(1), '100%');
});
