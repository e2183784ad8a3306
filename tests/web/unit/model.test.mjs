// Render-settings checks must refuse exactly what the native side refuses,
// so that the page neither sends refusable values nor blocks good ones.
import test from 'node:test';
import assert from 'node:assert/strict';
import {
  addTerm, colorToHex, defaultMaskRange, defaultRenderSettings, hexToColor, parseNumber,
  renderSettingsProblems, scanLooksForSomething, defaultScanSettings,
} from '../../../web/js/model.js';

const mask = (over = {}) => ({
  id: 'm1', rect: { x: 0.1, y: 0.1, width: 0.2, height: 0.2 }, startTime: 1, endTime: 2, enabled: true, ...over,
});
const withMasks = (...manualMasks) => ({ ...defaultRenderSettings(), manualMasks });
const DURATION = 10;

test('render settings: which values pass and which are refused', () => {
  const cases = [
    ['starting values', {}, true],
    ['opacity 1.5', { opacity: 1.5 }, false],
    ['opacity 0 and 1 are the ends', { opacity: 0 }, true],
    ['opacity 1', { opacity: 1 }, true],
    ['opacity below 0', { opacity: -0.01 }, false],
    ['padding −20 on every side', { padding: { top: -20, right: -20, bottom: -20, left: -20 } }, true],
    ['padding −2,000,000', { padding: { top: 0, right: 0, bottom: -2_000_000, left: 0 } }, false],
    ['padding 1,000,000', { padding: { top: 1e6, right: 0, bottom: 0, left: 0 } }, true],
    ['blur radius 1,000,000', { blurRadius: 1e6 }, true],
    ['blur radius 1,000,000.5', { blurRadius: 1e6 + 0.5 }, false],
    ['negative pixel size', { pixelSize: -1 }, false],
    ['negative corner radius', { cornerRadius: -0.5 }, false],
    ['feather NaN', { feather: NaN }, false],
    ['blur radius Infinity', { blurRadius: Infinity }, false],
    ['solid colour 0xFFFFFF', { solidColor: 0xffffff }, true],
    ['solid colour 0xFF000000', { solidColor: 0xff000000 }, false],
    ['solid colour fractional', { solidColor: 12.5 }, false],
    ['unknown style', { style: 'sparkle' }, false],
  ];
  for (const [name, over, passes] of cases) {
    const problems = renderSettingsProblems({ ...defaultRenderSettings(), ...over }, DURATION);
    assert.equal(problems.length === 0, passes, `${name}: ${JSON.stringify(problems)}`);
  }
});

test('manual masks: geometry, time range and identifiers', () => {
  const cases = [
    ['a plain mask', [mask()], true],
    ['right edge 1e-7 beyond the frame', [mask({ rect: { x: 0.5, y: 0, width: 0.5 + 1e-7, height: 0.1 } })], true],
    ['right edge 1e-6 beyond the frame', [mask({ rect: { x: 0.5, y: 0, width: 0.5 + 1e-6, height: 0.1 } })], false],
    ['bottom edge beyond the frame', [mask({ rect: { x: 0, y: 0.9, width: 0.1, height: 0.2 } })], false],
    ['negative x', [mask({ rect: { x: -0.01, y: 0, width: 0.1, height: 0.1 } })], false],
    ['zero width', [mask({ rect: { x: 0, y: 0, width: 0, height: 0.1 } })], false],
    ['end at the duration', [mask({ startTime: 9, endTime: DURATION })], true],
    ['end beyond the duration', [mask({ startTime: 9, endTime: DURATION + 0.001 })], false],
    ['start equal to end', [mask({ startTime: 3, endTime: 3 })], false],
    ['negative start', [mask({ startTime: -0.1 })], false],
    ['start NaN (unreadable entry)', [mask({ startTime: NaN })], false],
    ['empty id', [mask({ id: '' })], false],
    ['two masks, same id, both off', [mask({ enabled: false }), mask({ enabled: false })], false],
    ['two masks, distinct ids', [mask(), mask({ id: 'm2' })], true],
  ];
  for (const [name, masks, passes] of cases) {
    const problems = renderSettingsProblems(withMasks(...masks), DURATION);
    assert.equal(problems.length === 0, passes, `${name}: ${JSON.stringify(problems)}`);
  }
  // Without a video every mask fails: its end lies beyond a duration of 0.
  assert.ok(renderSettingsProblems(withMasks(mask()), 0).length > 0);
});

test('problems name the field they belong to, so the page can mark it', () => {
  const fields = (s) => renderSettingsProblems(s, DURATION).map((p) => p.field);
  assert.deepEqual(fields({ ...defaultRenderSettings(), opacity: 2 }), ['opacity']);
  assert.deepEqual(fields({ ...defaultRenderSettings(), padding: { top: 0, right: NaN, bottom: 0, left: 0 } }), ['padding.right']);
  assert.deepEqual(fields(withMasks(mask(), mask({ id: 'm2', startTime: 5, endTime: 4 }))), ['mask:1:endTime']);
  const messages = renderSettingsProblems({ ...defaultRenderSettings(), opacity: 2 }, DURATION).map((p) => p.message);
  assert.match(messages[0], /0 and 100%/);
});

test('default mask range surrounds the current time and stays inside the video', () => {
  const cases = [
    // time, duration
    [5, 10], [0, 10], [10, 10], [9.5, 10], [0.2, 0.5], [-3, 10], [NaN, 10], [1e9, 10],
  ];
  for (const [time, duration] of cases) {
    const range = defaultMaskRange(time, duration);
    const t = Number.isFinite(time) ? Math.min(Math.max(time, 0), duration) : 0;
    assert.ok(range.startTime >= 0 && range.endTime <= duration, `${time}/${duration}: ${JSON.stringify(range)}`);
    assert.ok(range.startTime < range.endTime, `${time}/${duration}: empty range`);
    assert.ok(range.startTime <= t && (t < range.endTime || t === duration), `${time}/${duration}: ${JSON.stringify(range)} misses ${t}`);
    // Masks made from it pass the native checks.
    assert.deepEqual(renderSettingsProblems(withMasks(mask(range)), duration), []);
  }
  assert.equal(defaultMaskRange(1, 0), null);
});

test('custom terms: blanks and case-insensitive repeats are not added', () => {
  let terms = [];
  for (const raw of ['  secret ', '', '   ', 'SECRET', 'Ada Lovelace', 'ada lovelace', '项目']) terms = addTerm(terms, raw);
  assert.deepEqual(terms, ['secret', 'Ada Lovelace', '项目']);
  const before = ['a'];
  addTerm(before, 'b');
  assert.deepEqual(before, ['a'], 'the input list is not changed');
});

test('a scan must look for something', () => {
  const none = { ...defaultScanSettings(), blurHan: false, blurEmails: false, blurPhones: false };
  assert.equal(scanLooksForSomething(none), false);
  assert.equal(scanLooksForSomething({ ...none, customTerms: ['x'] }), true);
  assert.equal(scanLooksForSomething({ ...none, allText: true }), true);
  assert.equal(scanLooksForSomething(defaultScanSettings()), true);
});

test('colours and typed numbers', () => {
  for (const [packed, hex] of [[0x101318, '#101318'], [0xffffff, '#ffffff'], [0, '#000000'], [0xff8000, '#ff8000']]) {
    assert.equal(colorToHex(packed), hex);
    assert.equal(hexToColor(hex), packed);
    assert.equal(hexToColor(hex.toUpperCase()), packed);
  }
  assert.ok(Number.isNaN(hexToColor('#fff')));
  assert.ok(Number.isNaN(hexToColor('red')));

  const numbers = [['12', 12], [' 3.5 ', 3.5], ['-20', -20], ['\u221220', -20], ['.5', 0.5], ['1e3', 1000], ['+7', 7]];
  for (const [text, value] of numbers) assert.equal(parseNumber(text), value, text);
  for (const text of ['', ' ', 'abc', '12px', '1,5', '--1', 'Infinity', '0x10']) {
    assert.ok(Number.isNaN(parseNumber(text)), `"${text}" is not a number`);
  }
});
