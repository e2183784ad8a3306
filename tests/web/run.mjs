// Browser tests of the page in Debian's Chromium, against the fake native side
// in fake-native.js. Usage: node tests/web/run.mjs [--artifacts DIR] [--only TEXT]
// Screenshots of the main states are written to DIR (default build/artifacts/web).

import assert from 'node:assert/strict';
import { existsSync, mkdirSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { serve } from './server.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const root = resolve(here, '../..');
const args = process.argv.slice(2);
const option = (name, fallback) => {
  const i = args.indexOf(name);
  return i >= 0 ? args[i + 1] : fallback;
};
const artifacts = resolve(option('--artifacts', join(root, 'build/artifacts/web')));
const only = option('--only', '');
const browserPath = process.env.SCRIVEL_CHROMIUM ?? '/usr/bin/chromium';
// Generous: the suite may share two cores with compilers and other tests.
const TIMEOUT = 15000;

let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch {
  console.error('playwright-core is missing: run scripts/setup (it runs npm ci).');
  process.exit(1);
}
if (!existsSync(browserPath)) {
  console.error(`${browserPath} is missing: run scripts/setup (it installs Debian's chromium).`);
  process.exit(1);
}
mkdirSync(artifacts, { recursive: true });

// ------------------------------------------------------------------ fixtures

const VIDEO = {
  id: '3F2A9C1E-7B4D-4E21-9A0C-5D6E7F801234',
  displayName: 'standup-demo.mov',
  duration: 12.5,
  width: 1920,
  height: 1080,
  nominalFrameRate: 29.97,
  fileSize: 48_200_000,
};
const OTHER_VIDEO = { ...VIDEO, id: '0B6C4D2E-1111-4222-8333-944455556666', displayName: 'second take.mp4', duration: 30 };

const SUMMARY = {
  duration: 12.5,
  sampleCount: 375,
  totalRegions: 512,
  tracks: [
    { id: 1, text: 'Mail me at ada@example.com', selectedText: 'ada@example.com', frameCount: 120, confidence: 0.93, startTime: 0.5, endTime: 4.5, kinds: ['email'] },
    { id: 2, text: 'Call +1 415 555 0100', selectedText: '+1 415 555 0100', frameCount: 90, confidence: 0.88, startTime: 3, endTime: 6, kinds: ['phone'] },
    { id: 4, text: '项目代号 青龙 launch', selectedText: '项目代号 · 青龙', frameCount: 200, confidence: 0.81, startTime: 6, endTime: 12.5, kinds: ['han'] },
  ],
};

const STARTING_STYLE = {
  style: 'blur', blurRadius: 24, pixelSize: 12, cornerRadius: 0, opacity: 1, feather: 0,
  padding: { top: 0, right: 0, bottom: 0, left: 0 }, solidColor: 0x101318, skeletonAnimation: true,
};

// ------------------------------------------------------------------ harness

const tests = [];
const test = (name, fn) => tests.push({ name, fn });

class Page {
  constructor(page) { this.page = page; }
  sent(method) { return this.page.evaluate((m) => window.__fake.of(m), method); }
  last(method) { return this.page.evaluate((m) => window.__fake.last(m) ?? null, method); }
  all() { return this.page.evaluate(() => window.__fake.sent); }
  violations() { return this.page.evaluate(() => window.__fake.violations); }
  /** Waits until `count` requests of `method` were posted; returns the newest. */
  async waitFor(method, count = 1) {
    await this.page.waitForFunction(([m, n]) => window.__fake.of(m).length >= n, [method, count], { timeout: TIMEOUT })
      .catch(() => { throw new Error(`the page did not send ${method} (${count}×)`); });
    return this.last(method);
  }
  /** Waits until the newest `method` request satisfies `predicate`; returns it. */
  async waitForLast(method, predicate, what) {
    const deadline = Date.now() + TIMEOUT;
    for (;;) {
      const last = await this.last(method);
      if (last && predicate(last)) return last;
      if (Date.now() > deadline) throw new Error(`no ${method} ${what}; last was ${JSON.stringify(last)}`);
      await this.page.waitForTimeout(20);
    }
  }
  answer(method, outcome) { return this.page.evaluate(([m, o]) => window.__fake.answer(m, o), [method, outcome]); }
  emit(name, payload) { return this.page.evaluate(([n, p]) => window.__fake.emit(n, p), [name, payload]); }
  script(method, outcome) {
    return this.page.evaluate(([m, o]) => { (window.__fake.scripted[m] ??= []).push(o); }, [method, outcome]);
  }
  text(selector) { return this.page.locator(selector).innerText(); }
  visible(selector) { return this.page.locator(selector).isVisible(); }
  async notice(text) {
    const locator = this.page.locator('.notice', { hasText: text });
    await locator.first().waitFor({ state: 'visible', timeout: TIMEOUT })
      .catch(async () => { throw new Error(`no notice "${text}"; notices: ${JSON.stringify(await this.page.locator('.notice').allInnerTexts())}`); });
    return locator.first();
  }
  async shot(name) {
    await this.page.evaluate(() => document.fonts.ready);
    await this.page.screenshot({ path: join(artifacts, `${name}.png`), animations: 'disabled' });
  }
  async noViolations() {
    assert.deepEqual(await this.violations(), [], 'the page broke the protocol');
  }
}

/** Opens the page, opens VIDEO through the open panel, returns the helper. */
async function withVideo(p) {
  await p.waitFor('ready');
  await p.page.getByRole('button', { name: 'Open a recording…' }).click();
  await p.waitFor('openVideo');
  await p.answer('openVideo', { resolve: VIDEO });
  await p.page.locator('#viewer').waitFor({ state: 'visible' });
  return p;
}

/** Runs a scan to its end with SUMMARY; returns the scanVideo request. */
async function scanned(p) {
  await p.page.getByRole('button', { name: 'Scan video' }).click();
  const request = await p.waitFor('scanVideo');
  await p.answer('scanVideo', { resolve: SUMMARY });
  await p.page.locator('#track-list .track').first().waitFor();
  return request;
}

// ------------------------------------------------------------------ tests

test('start: announces ready, places the drag strip, hides the player, invites a recording', async (p) => {
  await p.waitFor('ready');
  const sent = await p.all();
  assert.equal(sent[0].method, 'ready', 'ready is the first message');
  assert.ok(!('params' in sent[0]), 'ready carries no params');

  const drag = await p.waitFor('setWindowDragBounds');
  const strip = await p.page.locator('#drag-region').boundingBox();
  const open = await p.page.locator('#open-button').boundingBox();
  assert.deepEqual(drag.params, { ...strip, visible: true });
  assert.equal(drag.params.y, 0, 'the strip starts at the top of the window');
  assert.ok(drag.params.height >= 28 && drag.params.width > 100, 'the strip is big enough to grab');
  assert.ok(drag.params.x + drag.params.width <= open.x, 'the strip leaves the title-bar buttons clickable');

  const player = await p.waitFor('setPlayerBounds');
  assert.equal(player.params.visible, false, 'no video: the player stays hidden');

  assert.ok(await p.visible('#empty-state'));
  assert.ok(await p.visible('text=Open a recording…'));
  assert.ok(await p.visible('text=MP4, MOV or M4V'));
  assert.equal(await p.visible('#sidebar'), false);
  await p.shot('empty');

  // Dark appearance follows the system setting.
  const light = await p.page.evaluate(() => getComputedStyle(document.body).backgroundColor);
  await p.page.emulateMedia({ colorScheme: 'dark' });
  const dark = await p.page.evaluate(() => getComputedStyle(document.body).backgroundColor);
  assert.notEqual(light, dark);
  const [r, g, b] = dark.match(/\d+/g).map(Number);
  assert.ok(r + g + b < 120, `dark background is dark (${dark})`);
  await p.shot('empty-dark');
  await p.noViolations();
});

test('layout changes move the player and the drag strip; narrow windows still fit', async (p) => {
  await withVideo(p);
  const matchesStage = async (what) => {
    const stage = await p.page.locator('#stage').boundingBox();
    await p.waitForLast('setPlayerBounds', (m) => m.params.visible &&
      ['x', 'y', 'width', 'height'].every((k) => Math.abs(m.params[k] - stage[k]) < 0.01), `matching the preview area ${what}`);
  };
  await matchesStage('after opening');
  // The drawing hint takes room from the preview area.
  await p.page.getByRole('button', { name: 'Draw mask' }).click();
  await p.page.locator('#drawing-banner').waitFor();
  await matchesStage('while drawing');
  await p.emit('drawingEnded', { videoId: VIDEO.id });
  await p.page.locator('#drawing-banner').waitFor({ state: 'hidden' });
  await matchesStage('after drawing');
  // The smallest window the app allows.
  await p.page.setViewportSize({ width: 900, height: 620 });
  await matchesStage('at 900 × 620');
  const strip = await p.page.locator('#drag-region').boundingBox();
  await p.waitForLast('setWindowDragBounds', (m) => Math.abs(m.params.width - strip.width) < 0.01, 'for the narrow window');
  for (const selector of ['.transport', '.titlebar', '#sidebar', '.tabs']) {
    const fits = await p.page.locator(selector).evaluate((el) => el.scrollWidth <= el.clientWidth + 1);
    assert.ok(fits, `${selector} overflows at 900 × 620`);
  }
  const stage = await p.page.locator('#stage').boundingBox();
  assert.ok(stage.width >= 400 && stage.height >= 300, `the preview keeps a usable size (${stage.width} × ${stage.height})`);
  await p.shot('narrow');
  await p.noViolations();
});

test('the whole job: open → scan → exclude → draw → style → export, with the exact messages', async (p) => {
  await p.waitFor('ready');
  // Ctrl+O opens the panel.
  await p.page.keyboard.press('Control+o');
  const open = await p.waitFor('openVideo');
  assert.ok(!('params' in open), 'openVideo carries no params');
  await p.answer('openVideo', { resolve: VIDEO });
  await p.page.locator('#viewer').waitFor({ state: 'visible' });

  // Video facts.
  assert.equal(await p.text('#video-name'), 'standup-demo.mov');
  assert.equal(await p.text('#fact-duration'), '0:12.5');
  assert.equal(await p.text('#fact-size'), '1920 × 1080');
  assert.equal(await p.text('#fact-rate'), '29.97 fps');
  assert.equal(await p.text('#fact-file'), '48 MB');
  assert.equal(await p.text('#title-name'), 'standup-demo.mov');

  // The player is placed over the preview area and shown.
  const bounds = await p.waitForLast('setPlayerBounds', (m) => m.params.visible, 'with visible true');
  const stage = await p.page.locator('#stage').boundingBox();
  assert.deepEqual(bounds.params, { ...stage, visible: true });

  // The first preview carries the starting style, no exclusions, no masks.
  const preview = await p.waitFor('setPreview');
  assert.deepEqual(preview.params, {
    videoId: VIDEO.id, enabled: true, showRegions: false,
    renderSettings: { ...STARTING_STYLE, excludedTrackIDs: [], manualMasks: [] },
  });

  // Scan settings: two custom terms as chips, phones off, precise quality.
  const terms = p.page.locator('#term-input');
  await terms.fill('Project Falcon');
  await terms.press('Enter');
  await terms.fill('hunter2,');
  await terms.fill('');
  await terms.fill('project falcon'); // same term, other case: not added twice
  await terms.press('Enter');
  assert.deepEqual(await p.page.locator('#term-list .chip-text').allInnerTexts(), ['Project Falcon', 'hunter2']);
  await p.page.getByLabel('Phone numbers').uncheck();
  await p.page.getByRole('radio', { name: 'Precise' }).check();
  await p.page.getByRole('button', { name: 'Scan video' }).click();

  const scan = await p.waitFor('scanVideo');
  assert.equal(typeof scan.params.jobId, 'string');
  assert.ok(scan.params.jobId.length >= 8, 'the job id is fresh and not trivial');
  assert.deepEqual(scan.params, {
    videoId: VIDEO.id,
    jobId: scan.params.jobId,
    settings: {
      allText: false, quality: 'precise', confidence: 0.3,
      blurHan: true, blurEmails: true, blurPhones: false,
      customTerms: ['Project Falcon', 'hunter2'],
    },
  });

  // Progress of this job is shown; progress of another job is not.
  await p.emit('jobProgress', { id: scan.params.jobId, videoId: VIDEO.id, kind: 'scan', progress: 0.34, processed: 128, total: 375, regions: 57, message: 'Recognizing text' });
  await p.page.locator('#job-message', { hasText: 'Recognizing text' }).waitFor();
  assert.equal(await p.text('#job-counts'), '128 / 375 frames · 57 regions');
  assert.equal(await p.page.locator('#job-bar').getAttribute('aria-valuenow'), '34');
  assert.equal(await p.text('#job-percent'), '34%');
  await p.emit('jobProgress', { id: 'someone-else', videoId: VIDEO.id, kind: 'scan', progress: 0.9, processed: 1, total: 2, regions: 1, message: 'Tracking text motion' });
  await p.page.waitForTimeout(50);
  assert.equal(await p.text('#job-message'), 'Recognizing text');
  assert.ok(await p.page.locator('#draw-button').isDisabled(), 'no drawing while a job runs');
  await p.shot('scanning');

  await p.answer('scanVideo', { resolve: SUMMARY });
  await p.page.locator('#track-list .track').first().waitFor();
  assert.equal(await p.visible('#job'), false);
  assert.equal(await p.page.locator('#track-list .track').count(), 3);
  const first = p.page.locator('#track-list .track').first();
  assert.equal(await first.locator('.track-hidden').innerText(), 'ada@example.com');
  assert.equal(await first.locator('.track-meta').innerText(), '0:00.5 – 0:04.5 · 120 frames · 93% sure');
  assert.equal(await p.text('#tracks-summary'), '3 pieces of text hidden, 0 other lines read');

  // Exclude the phone number.
  await p.page.getByLabel('Hide “+1 415 555 0100”').uncheck();
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.excludedTrackIDs.length === 1, 'with one exclusion');
  assert.deepEqual((await p.last('setPreview')).params.renderSettings.excludedTrackIDs, [2]);

  // Clicking a mask in the player selects its row; clicking a row seeks to its start.
  await p.emit('regionSelected', { videoId: VIDEO.id, trackId: 4 });
  await p.page.locator('.track.selected[data-id="4"]').waitFor();
  await p.emit('regionSelected', { videoId: VIDEO.id, trackId: null });
  await p.page.locator('.track.selected').waitFor({ state: 'detached' });
  await p.page.locator('.track[data-id="2"] .track-main').click();
  const seek = await p.waitFor('seek');
  assert.deepEqual(seek.params, { videoId: VIDEO.id, time: 3 });
  assert.equal(await p.page.locator('.track.selected').getAttribute('data-id'), '2');

  // Show region outlines.
  await p.page.getByLabel('Outlines').check();
  await p.waitForLast('setPreview', (m) => m.params.showRegions, 'with outlines');

  // Draw a manual mask at 5 s.
  await p.emit('playerState', { videoId: VIDEO.id, time: 5, isPlaying: false });
  await p.page.locator('#current-time', { hasText: '0:05.0' }).waitFor();
  await p.page.getByRole('button', { name: 'Draw mask' }).click();
  const drawing = await p.waitFor('setDrawing');
  assert.deepEqual(drawing.params, { videoId: VIDEO.id, enabled: true });
  assert.ok(await p.visible('#drawing-banner'));
  const rect = { x: 0.29, y: 0.595, width: 0.4, height: 0.06 };
  await p.emit('manualMaskDrawn', { videoId: VIDEO.id, rect });
  await p.emit('drawingEnded', { videoId: VIDEO.id });
  await p.page.locator('#mask-list .mask').waitFor();
  await p.page.locator('#drawing-banner').waitFor({ state: 'hidden' });
  assert.equal(await p.page.locator('#draw-button').getAttribute('aria-pressed'), 'false');
  const withMask = await p.waitForLast('setPreview', (m) => m.params.renderSettings.manualMasks.length === 1, 'with the mask');
  const [mask] = withMask.params.renderSettings.manualMasks;
  assert.deepEqual(mask.rect, rect);
  assert.equal(mask.enabled, true);
  assert.ok(mask.startTime <= 5 && mask.endTime > 5, `the mask's range ${mask.startTime}–${mask.endTime} covers the current time`);
  assert.ok(mask.startTime >= 0 && mask.endTime <= VIDEO.duration);
  assert.ok(mask.endTime - mask.startTime >= 1, 'the default range is long enough to matter');

  // Its end time is edited, first beyond the video (refused with a reason), then fixed.
  const end = p.page.getByLabel('Mask 1 end time');
  const previews = (await p.sent('setPreview')).length;
  await end.fill('0:20');
  await p.page.locator('.mask .error', { hasText: 'after the video ends' }).waitFor();
  assert.equal(await end.getAttribute('aria-invalid'), 'true');
  assert.ok(await p.page.locator('#tab-review.has-problem').count());
  await p.page.waitForTimeout(60);
  assert.equal((await p.sent('setPreview')).length, previews, 'an invalid range is not sent');
  await end.fill('9.5');
  await end.press('Tab');
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.manualMasks[0]?.endTime === 9.5, 'with the new end');
  assert.equal(await p.page.locator('.mask .error').isVisible(), false);

  await p.shot('review');
  await p.page.emulateMedia({ colorScheme: 'dark' });
  await p.shot('review-dark');
  await p.page.emulateMedia({ colorScheme: 'light' });

  // Style: pixelate, 20 px cells, 80 % opacity.
  await p.page.getByRole('tab', { name: /Style/ }).click();
  await p.page.getByRole('radio', { name: 'Pixelate' }).check();
  assert.ok(await p.visible('#style-pixelSize'));
  assert.equal(await p.visible('#style-blurRadius'), false, 'only the chosen style\'s controls show');
  await p.page.locator('#style-pixelSize').fill('20');
  await p.page.locator('#style-pixelSize').press('Tab');
  await p.page.locator('#style-opacity').fill('80');
  await p.page.locator('#style-opacity').press('Tab');
  const styled = await p.waitForLast('setPreview', (m) => m.params.renderSettings.opacity === 0.8, 'with opacity 0.8');
  assert.equal(styled.params.renderSettings.style, 'pixelate');
  assert.equal(styled.params.renderSettings.pixelSize, 20);

  // Export.
  await p.page.getByRole('tab', { name: /Export/ }).click();
  assert.match(await p.text('#export-summary'), /2 of 3 found texts and 1 drawn mask/);
  await p.page.getByRole('button', { name: 'Export video…' }).click();
  const exp = await p.waitFor('exportVideo');
  assert.notEqual(exp.params.jobId, scan.params.jobId, 'every job gets a fresh id');
  assert.deepEqual(exp.params, {
    videoId: VIDEO.id,
    jobId: exp.params.jobId,
    settings: {
      ...STARTING_STYLE, style: 'pixelate', pixelSize: 20, opacity: 0.8,
      excludedTrackIDs: [2],
      manualMasks: [{ ...mask, endTime: 9.5 }],
    },
  });
  assert.match(await p.text('#job-message'), /Choose where to save/);
  assert.equal(await p.visible('#cancel-button'), false, 'nothing to cancel while the save panel is open');
  await p.emit('jobProgress', { id: exp.params.jobId, videoId: VIDEO.id, kind: 'export', progress: 0.62, processed: 62, total: 100, message: 'Rendering video and preserving audio' });
  await p.page.locator('#job-message', { hasText: 'Rendering video and preserving audio' }).waitFor();
  assert.equal(await p.text('#job-percent'), '62%');
  assert.ok(await p.visible('#cancel-button'));
  await p.shot('exporting');

  const output = '/home/ada/Movies/standup-demo-scrivel.mp4';
  await p.answer('exportVideo', { resolve: { outputPath: output } });
  await p.page.locator('#export-result').waitFor();
  assert.equal(await p.text('#export-path'), output);
  await p.shot('export');
  await p.page.locator('#export-result').getByRole('button', { name: 'Show in folder' }).click();
  const reveal = await p.waitFor('revealInFinder');
  assert.deepEqual(reveal.params, { path: output });
  await p.noViolations();
});

test('failures reach the user as readable notices', async (p) => {
  await p.waitFor('ready');
  // A failed open.
  await p.page.getByRole('button', { name: 'Open a recording…' }).click();
  await p.waitFor('openVideo');
  await p.answer('openVideo', { reject: 'The file has no video track.' });
  const notice = await p.notice('The file has no video track.');
  assert.equal(await notice.getAttribute('role'), 'alert');
  assert.ok(await p.visible('#empty-state'), 'a failed open leaves the empty state');

  // Cancelling the open panel says nothing and changes nothing.
  await p.page.getByRole('button', { name: 'Open a recording…' }).click();
  await p.waitFor('openVideo', 2);
  await p.answer('openVideo', { resolve: null });
  await p.page.waitForTimeout(50);
  assert.ok(await p.visible('#empty-state'));
  assert.equal(await p.page.locator('.notice').count(), 1);

  // Toasts from the native side.
  await p.emit('toast', { message: 'Scrivel supports MP4, MOV, and M4V video files.' });
  await p.notice('Scrivel supports MP4, MOV, and M4V video files.');

  // A video arrives by drop; the scan is refused at once.
  await p.emit('videoSelected', VIDEO);
  await p.page.locator('#viewer').waitFor({ state: 'visible' });
  await p.script('scanVideo', { reject: 'Choose a video first.' });
  await p.page.getByRole('button', { name: 'Scan video' }).click();
  await p.notice('Choose a video first.');
  assert.equal(await p.visible('#job'), false, 'a refused scan leaves no progress behind');
  assert.ok(await p.page.getByRole('button', { name: 'Scan video' }).isEnabled());

  // A scan that fails when its job ends.
  await p.page.getByRole('button', { name: 'Scan video' }).click();
  await p.waitFor('scanVideo', 2);
  await p.answer('scanVideo', { reject: 'The video could not be decoded.' });
  await p.notice('The video could not be decoded.');

  // A refused preview.
  await p.script('setPreview', { reject: 'Choose a video first.' });
  await p.page.getByLabel('Outlines').check();
  await p.waitForLast('setPreview', (m) => m.params.showRegions, 'with outlines');
  await p.notice('Choose a video first.');

  // A refused export after the save panel.
  await scanned(p);
  await p.page.getByRole('tab', { name: /Export/ }).click();
  await p.page.getByRole('button', { name: 'Export video…' }).click();
  await p.waitFor('exportVideo');
  await p.answer('exportVideo', { reject: 'Scan the video before exporting.' });
  await p.notice('Scan the video before exporting.');
  assert.equal(await p.visible('#export-result'), false);
  // Notices never lie under the native player, which would hide them.
  const stage = await p.page.locator('#stage').boundingBox();
  for (const box of await p.page.locator('.notice').evaluateAll((els) => els.map((e) => e.getBoundingClientRect().toJSON()))) {
    const apart = box.x >= stage.x + stage.width || box.x + box.width <= stage.x ||
      box.y >= stage.y + stage.height || box.y + box.height <= stage.y;
    assert.ok(apart, `a notice at ${JSON.stringify(box)} overlaps the player`);
  }

  // A cancelled save panel: no result, no error, export possible again.
  await p.page.getByRole('button', { name: 'Export video…' }).click();
  await p.waitFor('exportVideo', 2);
  await p.answer('exportVideo', { resolve: null });
  await p.page.getByRole('button', { name: 'Export video…' }).waitFor({ state: 'visible' });
  assert.ok(await p.page.getByRole('button', { name: 'Export video…' }).isEnabled());
  assert.equal(await p.visible('#export-result'), false);
  await p.noViolations();
});

test('a scan can be cancelled; stale events of other videos are ignored', async (p) => {
  await withVideo(p);
  await p.page.getByRole('button', { name: 'Scan video' }).click();
  const scan = await p.waitFor('scanVideo');
  await p.page.getByRole('button', { name: 'Cancel' }).click();
  const cancel = await p.waitFor('cancelJob');
  assert.deepEqual(cancel.params, { jobId: scan.params.jobId });
  assert.equal(await p.text('#job-message'), 'Cancelling…');
  await p.answer('scanVideo', { reject: 'Operation cancelled.' });
  await p.notice('Operation cancelled.');
  await p.page.locator('#job').waitFor({ state: 'hidden' });
  assert.ok(await p.page.getByRole('button', { name: 'Scan video' }).isEnabled());

  // Events about another video change nothing.
  await p.emit('playerState', { videoId: OTHER_VIDEO.id, time: 7, isPlaying: true });
  await p.emit('manualMaskDrawn', { videoId: OTHER_VIDEO.id, rect: { x: 0, y: 0, width: 0.5, height: 0.5 } });
  await p.page.waitForTimeout(50);
  assert.equal(await p.text('#current-time'), '0:00.0');
  assert.equal(await p.page.locator('#mask-list .mask').count(), 0);

  // A newly selected video replaces the old one and starts clean.
  await p.emit('manualMaskDrawn', { videoId: VIDEO.id, rect: { x: 0.5, y: 0.5, width: 0.2, height: 0.2 } });
  await p.page.locator('#mask-list .mask').waitFor();
  // The mask's preview goes out on the next animation frame; once the fake
  // has switched videos, one still in flight would read as stale.
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.manualMasks.length === 1, 'for the drawn mask');
  await p.emit('videoSelected', OTHER_VIDEO);
  await p.page.locator('#video-name', { hasText: 'second take.mp4' }).waitFor();
  assert.equal(await p.page.locator('#mask-list .mask').count(), 0);
  const preview = await p.waitForLast('setPreview', (m) => m.params.videoId !== undefined && m.params.renderSettings.manualMasks.length === 0, 'for the new video');
  assert.equal(preview.params.videoId, OTHER_VIDEO.id);
  await p.noViolations();
});

test('menu commands and keyboard shortcuts', async (p) => {
  await p.waitFor('ready');
  // "scan" before a video is chosen is explained, not sent.
  await p.emit('command', { name: 'scan' });
  await p.notice('Choose a video first.');
  assert.equal((await p.sent('scanVideo')).length, 0);

  await p.emit('command', { name: 'open' });
  await p.waitFor('openVideo');
  await p.answer('openVideo', { resolve: VIDEO });
  await p.page.locator('#viewer').waitFor({ state: 'visible' });

  await p.emit('command', { name: 'export' });
  await p.notice('Scan the video before exporting.');
  assert.equal((await p.sent('exportVideo')).length, 0);

  await p.emit('command', { name: 'scan' });
  const scan = await p.waitFor('scanVideo');
  assert.equal(scan.params.videoId, VIDEO.id);
  await p.answer('scanVideo', { resolve: SUMMARY });
  await p.page.locator('#track-list .track').first().waitFor();
  await p.emit('command', { name: 'export' });
  const exp = await p.waitFor('exportVideo');
  assert.equal(exp.params.videoId, VIDEO.id);
  await p.answer('exportVideo', { resolve: null });

  // Space plays and pauses, except while typing.
  await p.page.locator('#seek').focus();
  await p.page.keyboard.press('Space');
  const toggle = await p.waitFor('togglePlayback');
  assert.deepEqual(toggle.params, { videoId: VIDEO.id });
  await p.emit('playerState', { videoId: VIDEO.id, time: 1.25, isPlaying: true });
  await p.page.getByRole('button', { name: 'Pause' }).waitFor();
  await p.page.getByRole('tab', { name: /Scan/ }).click();
  await p.page.locator('#term-input').focus();
  await p.page.keyboard.press('Space');
  await p.page.waitForTimeout(50);
  assert.equal((await p.sent('togglePlayback')).length, 1, 'Space in a text field types a space');

  // M draws, Escape stops drawing.
  await p.page.locator('#seek').focus();
  await p.page.keyboard.press('m');
  await p.waitForLast('setDrawing', (m) => m.params.enabled === true, 'on');
  await p.page.keyboard.press('Escape');
  await p.waitForLast('setDrawing', (m) => m.params.enabled === false, 'off');

  // Zoom reset and the seek bar.
  await p.page.getByRole('button', { name: 'Reset zoom' }).click();
  const reset = await p.waitFor('resetViewport');
  assert.ok(!('params' in reset));
  await p.page.locator('#seek').fill('6');
  const seek = await p.waitForLast('seek', (m) => m.params.time === 6, 'to 6 s');
  assert.equal(seek.params.videoId, VIDEO.id);

  // Tabs move with the arrow keys.
  await p.page.getByRole('tab', { name: /Scan/ }).focus();
  await p.page.keyboard.press('ArrowRight');
  assert.equal(await p.page.locator('#tab-review').getAttribute('aria-selected'), 'true');
  assert.ok(await p.visible('#panel-review'));
  await p.noViolations();
});

test('style values outside the accepted ranges are explained and never sent', async (p) => {
  await withVideo(p);
  await p.page.getByRole('tab', { name: /Style/ }).click();
  const before = (await p.sent('setPreview')).length;
  const cases = [
    ['#style-opacity', '150', '#err-opacity', 'between 0 and 100%'],
    ['#style-blurRadius', '-1', '#err-blurRadius', '0 to 1,000,000 pixels'],
    ['#style-blurRadius', '1000001', '#err-blurRadius', '0 to 1,000,000 pixels'],
    ['#style-blurRadius', 'abc', '#err-blurRadius', '0 to 1,000,000 pixels'],
    ['#style-cornerRadius', '', '#err-cornerRadius', '0 to 1,000,000 pixels'],
    ['#style-padding-left', '-2000000', '#err-padding', '−1,000,000 to 1,000,000'],
  ];
  for (const [input, value, error, text] of cases) {
    const original = await p.page.locator(input).inputValue();
    await p.page.locator(input).fill(value);
    await p.page.locator(error, { hasText: text }).waitFor({ timeout: 2000 })
      .catch(() => { throw new Error(`${input} = "${value}" shows no "${text}"`); });
    assert.equal(await p.page.locator(input).getAttribute('aria-invalid'), 'true', `${input} = "${value}" is marked`);
    assert.ok(await p.page.locator('#tab-style.has-problem').count());
    await p.page.locator(input).fill(original);
    await p.page.locator(error).waitFor({ state: 'hidden' });
  }
  // Values at the edges pass.
  await p.page.locator('#style-padding-left').fill('-20');
  await p.page.locator('#style-opacity').fill('0');
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.opacity === 0 && m.params.renderSettings.padding.left === -20, 'with edge values');
  const sent = await p.sent('setPreview');
  assert.ok(sent.length > before);
  for (const m of sent) {
    const s = m.params.renderSettings;
    assert.ok(s.opacity <= 1 && s.blurRadius >= 0 && s.blurRadius <= 1e6 && s.padding.left >= -1e6, `refusable settings were sent: ${JSON.stringify(s)}`);
  }
  // Arrow keys step a value; Shift steps by ten.
  await p.page.locator('#style-blurRadius').focus();
  await p.page.keyboard.press('ArrowUp');
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.blurRadius === 25, 'with blur 25');
  await p.page.keyboard.press('Shift+ArrowDown');
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.blurRadius === 15, 'with blur 15');
  // Solid colour goes out as a packed 0xRRGGBB integer.
  await p.page.getByRole('radio', { name: 'Solid' }).check();
  await p.page.locator('#style-solidColor').fill('#ff8000');
  const solid = await p.waitForLast('setPreview', (m) => m.params.renderSettings.solidColor === 0xff8000, 'with orange');
  assert.equal(solid.params.renderSettings.style, 'solid');
  // Export is blocked with a reason while a value is wrong.
  await scannedFromStyle(p);
  await p.page.getByRole('tab', { name: /Style/ }).click();
  await p.page.locator('#style-feather').fill('-3');
  await p.page.getByRole('tab', { name: /Export/ }).click();
  assert.ok(await p.page.getByRole('button', { name: 'Export video…' }).isDisabled());
  assert.match(await p.text('#export-blocked'), /need fixing/);
  await p.noViolations();
});

async function scannedFromStyle(p) {
  await p.page.getByRole('tab', { name: /Scan/ }).click();
  await scanned(p);
}

test('undo and redo cover exclusions, masks and style', async (p) => {
  await withVideo(p);
  await scanned(p);
  const settings = async () => (await p.last('setPreview')).params.renderSettings;

  await p.page.getByLabel('Hide “ada@example.com”').uncheck();
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.excludedTrackIDs.includes(1), 'excluding 1');
  await p.emit('manualMaskDrawn', { videoId: VIDEO.id, rect: { x: 0.2, y: 0.2, width: 0.1, height: 0.1 } });
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.manualMasks.length === 1, 'with a mask');
  await p.page.getByRole('tab', { name: /Style/ }).click();
  await p.page.getByRole('radio', { name: 'Skeleton' }).check();
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.style === 'skeleton', 'skeleton');
  await p.page.locator('#seek').focus();

  await p.page.keyboard.press('Control+z');
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.style === 'blur', 'back to blur');
  assert.equal((await settings()).manualMasks.length, 1);
  await p.page.keyboard.press('Control+z');
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.manualMasks.length === 0, 'without the mask');
  assert.deepEqual((await settings()).excludedTrackIDs, [1]);
  await p.page.keyboard.press('Control+z');
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.excludedTrackIDs.length === 0, 'without exclusions');
  assert.ok(await p.page.locator('#undo-button').isDisabled(), 'nothing left to undo');
  await p.page.getByRole('tab', { name: /Review/ }).click();
  assert.ok(await p.page.getByLabel('Hide “ada@example.com”').isChecked(), 'the row shows the restored state');

  await p.page.keyboard.press('Control+Shift+Z');
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.excludedTrackIDs.includes(1), 'excluding 1 again');
  await p.page.keyboard.press('Control+Shift+Z');
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.manualMasks.length === 1, 'with the mask again');
  assert.equal(await p.page.locator('#mask-list .mask').count(), 1);

  // A new edit after undo drops the redo branch.
  await p.page.keyboard.press('Control+z');
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.manualMasks.length === 0, 'mask undone');
  await p.page.getByLabel('Hide “+1 415 555 0100”').uncheck();
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.excludedTrackIDs.includes(2), 'excluding 2');
  assert.ok(await p.page.locator('#redo-button').isDisabled());
  // The undo button does what Ctrl+Z does.
  await p.page.locator('#undo-button').click();
  await p.waitForLast('setPreview', (m) => !m.params.renderSettings.excludedTrackIDs.includes(2), 'exclusion 2 undone');
  await p.noViolations();
});

/** Exports to `output` after a scan; returns the exportVideo request. */
async function exported(p, output = '/home/ada/Movies/standup-demo-scrivel.mp4') {
  await p.page.getByRole('tab', { name: /Export/ }).click();
  const count = (await p.sent('exportVideo')).length + 1;
  await p.page.getByRole('button', { name: 'Export video…' }).click();
  const request = await p.waitFor('exportVideo', count);
  await p.answer('exportVideo', { resolve: { outputPath: output } });
  await p.page.locator('#export-result').waitFor();
  return request;
}

const CHECK_FINDINGS = {
  clean: false,
  framesRead: 375,
  moments: [
    { startTime: 1.2, endTime: 2.5, kind: 'email', text: 'ada@example.com', frameCount: 40, description: 'e-mail address' },
    { startTime: 7.25, endTime: 7.25, kind: 'han', text: '青龙', frameCount: 1, description: 'Chinese text' },
  ],
  differences: ['The copy has 3 frames fewer than the original (372 of 375).'],
  notes: ['The audio was re-encoded to AAC, which MP4 can hold.'],
};

test('check the copy: offered after an export, runs as a job, lists moments that seek the preview', async (p) => {
  await withVideo(p);
  await scanned(p);
  await p.page.getByRole('tab', { name: /Export/ }).click();
  assert.equal(await p.visible('#check-button'), false, 'nothing to check before an export');
  const exp = await exported(p);
  const check = p.page.getByRole('button', { name: 'Check the copy' });
  assert.ok(await check.isEnabled());

  await check.click();
  const request = await p.waitFor('checkCopy');
  assert.deepEqual(request.params, { videoId: VIDEO.id, jobId: request.params.jobId });
  assert.ok(request.params.jobId.length >= 8 && request.params.jobId !== exp.params.jobId, 'a fresh job id');
  assert.equal(await p.text('#job-title'), 'Checking the copy');
  assert.ok(await p.visible('#cancel-button'), 'the check can be cancelled at once');
  assert.ok(await check.isDisabled(), 'one check at a time');
  assert.ok(await p.page.getByRole('button', { name: 'Export video…' }).isDisabled(), 'no export while checking');
  await p.emit('jobProgress', { id: request.params.jobId, videoId: VIDEO.id, kind: 'verify', progress: 0.4, processed: 150, total: 375, message: 'Reading the copy' });
  await p.page.locator('#job-message', { hasText: 'Reading the copy' }).waitFor();
  assert.equal(await p.text('#job-percent'), '40%');
  await p.emit('jobProgress', { id: 'another-job', videoId: VIDEO.id, kind: 'verify', progress: 0.9, processed: 1, total: 1, message: 'Comparing the copy with the original' });
  await p.page.waitForTimeout(50);
  assert.equal(await p.text('#job-message'), 'Reading the copy', 'progress of another job is not shown');

  await p.answer('checkCopy', { resolve: CHECK_FINDINGS });
  await p.page.locator('#check-result').waitFor();
  assert.equal(await p.visible('#job'), false);
  await p.notice('Text that should be hidden can still be read in the copy.');
  assert.match(await p.text('#check-verdict'), /2 moments/);
  assert.equal(await p.text('#check-summary'), '375 frames read');
  const rows = p.page.locator('#check-moments .check-moment');
  assert.equal(await rows.count(), 2);
  assert.equal(await rows.nth(0).locator('.check-moment-kind').innerText(), 'e-mail address');
  assert.equal(await rows.nth(0).locator('.check-moment-text').innerText(), '“ada@example.com”');
  assert.equal(await rows.nth(0).locator('.track-meta').innerText(), '0:01.2 – 0:02.5 · 40 frames');
  assert.equal(await rows.nth(1).locator('.check-moment-kind').innerText(), 'Chinese text');
  assert.equal(await rows.nth(1).locator('.track-meta').innerText(), '0:07.3 · 1 frame', 'a single frame shows one time');
  assert.deepEqual(await p.page.locator('#check-differences li').allInnerTexts(), CHECK_FINDINGS.differences);
  assert.ok(await p.visible('#check-differences-title'));
  assert.deepEqual(await p.page.locator('#check-notes li').allInnerTexts(), CHECK_FINDINGS.notes);
  await p.shot('check-readable');

  // Each moment jumps the preview to where it starts.
  const seeks = (await p.sent('seek')).length;
  await rows.nth(1).getByRole('button').click();
  const seek = await p.waitFor('seek', seeks + 1);
  assert.deepEqual(seek.params, { videoId: VIDEO.id, time: 7.25 });
  await rows.nth(0).getByRole('button').click();
  const back = await p.waitFor('seek', seeks + 2);
  assert.deepEqual(back.params, { videoId: VIDEO.id, time: 1.2 });

  // A new export replaces the copy: the old findings go at once.
  await p.page.getByRole('button', { name: 'Export video…' }).click();
  await p.waitFor('exportVideo', 2);
  assert.equal(await p.visible('#check-result'), false);
  await p.answer('exportVideo', { resolve: null });
  await p.page.getByRole('button', { name: 'Export video…' }).waitFor({ state: 'visible' });
  assert.equal(await p.visible('#check-button'), false, 'no finished export, nothing to check');
  await p.noViolations();
});

test('check the copy: cancel, a clean copy, a refusal, and a new scan clearing the result', async (p) => {
  await withVideo(p);
  await scanned(p);
  await exported(p);
  const check = p.page.getByRole('button', { name: 'Check the copy' });

  await check.click();
  const first = await p.waitFor('checkCopy');
  await p.page.getByRole('button', { name: 'Cancel' }).click();
  const cancel = await p.waitFor('cancelJob');
  assert.deepEqual(cancel.params, { jobId: first.params.jobId });
  assert.equal(await p.text('#job-message'), 'Cancelling…');
  await p.answer('checkCopy', { reject: 'Operation cancelled.' });
  await p.notice('Operation cancelled.');
  await p.page.locator('#job').waitFor({ state: 'hidden' });
  assert.equal(await p.visible('#check-result'), false, 'a cancelled check shows no findings');
  assert.ok(await check.isEnabled(), 'the copy can be checked again');

  await check.click();
  await p.waitFor('checkCopy', 2);
  await p.answer('checkCopy', { resolve: { clean: true, framesRead: 1, moments: [], differences: [], notes: [] } });
  await p.page.locator('#check-result').waitFor();
  assert.equal(await p.text('#check-verdict'), 'No readable text found in the copy');
  assert.equal(await p.text('#check-summary'), '1 frame read');
  assert.equal(await p.page.locator('#check-moments li').count(), 0);
  assert.equal(await p.visible('#check-differences-title'), false);
  await p.notice('No readable text found in the copy.');
  await p.shot('check-clean');

  // The native side's refusal is shown as it comes; the old findings stay cleared.
  await check.click();
  await p.waitFor('checkCopy', 3);
  assert.equal(await p.visible('#check-result'), false, 'a check in progress shows no old findings');
  await p.answer('checkCopy', { reject: 'The copy could not be read.' });
  await p.notice('The copy could not be read.');
  assert.equal(await p.visible('#check-result'), false);

  // A clean copy of an older scan says nothing about a new one.
  await check.click();
  await p.waitFor('checkCopy', 4);
  await p.answer('checkCopy', { resolve: { clean: true, framesRead: 375, moments: [], differences: [], notes: [] } });
  await p.page.locator('#check-result').waitFor();
  await p.page.getByRole('tab', { name: /Scan/ }).click();
  await p.page.getByRole('button', { name: 'Scan video' }).click();
  // The first scan was never saved as a review: the page asks before replacing it.
  await p.page.getByRole('button', { name: 'Don’t save' }).click();
  await p.waitFor('scanVideo', 2);
  await p.answer('scanVideo', { resolve: SUMMARY });
  await p.page.locator('#panel-review').waitFor();
  await p.page.getByRole('tab', { name: /Export/ }).click();
  assert.equal(await p.visible('#check-result'), false);
  await p.noViolations();
});

// ------------------------------------------------------------------ the review list and saved reviews

// What a real scan of a dashboard looks like: a few spans to hide among many
// lines read that hide nothing.
const MIXED = {
  duration: 12.5,
  sampleCount: 375,
  totalRegions: 2100,
  tracks: [
    { id: 1, text: '0 Deskline', selectedText: '', frameCount: 375, confidence: 0.97, startTime: 0, endTime: 12.5, kinds: [] },
    { id: 2, text: 'Views', selectedText: '', frameCount: 375, confidence: 0.99, startTime: 0, endTime: 12.5, kinds: [] },
    { id: 3, text: 'Owner: 王小明 wang@example.cn', selectedText: '王小明 · wang@example.cn', frameCount: 80, confidence: 0.9, startTime: 2, endTime: 4.7, kinds: ['email', 'han'] },
    { id: 5, text: 'Customers', selectedText: '', frameCount: 300, confidence: 0.98, startTime: 0, endTime: 10, kinds: [] },
    { id: 6, text: 'Phone +44 20 7946 0958', selectedText: '+44 20 7946 0958', frameCount: 60, confidence: 0.86, startTime: 5, endTime: 7, kinds: ['phone'] },
    { id: 7, text: 'Reports', selectedText: '', frameCount: 375, confidence: 0.99, startTime: 0, endTime: 12.5, kinds: [] },
    { id: 8, text: 'ops@example.com', selectedText: 'ops@example.com', frameCount: 40, confidence: 0.92, startTime: 8, endTime: 9.3, kinds: ['email'] },
    { id: 9, text: '客户名单', selectedText: '客户名单', frameCount: 120, confidence: 0.8, startTime: 1, endTime: 5, kinds: ['han'] },
  ],
};

async function scannedWith(p, summary) {
  await p.page.getByRole('button', { name: 'Scan video' }).click();
  await p.waitFor('scanVideo');
  await p.answer('scanVideo', { resolve: summary });
  await p.page.locator('#track-list .track').first().waitFor();
}

const rowIds = (p, selector) => p.page.locator(selector).evaluateAll((rows) => rows.map((r) => Number(r.dataset.id)));

test('review list: what is hidden comes first, grouped, and other text waits collapsed', async (p) => {
  await withVideo(p);
  await scannedWith(p, MIXED);
  assert.equal(await p.text('#tracks-summary'), '4 pieces of text hidden, 4 other lines read');
  assert.deepEqual(await p.page.locator('.track-group .group-title').allInnerTexts(),
    ['E-mail addresses', 'Phone numbers', 'Chinese text']);
  assert.deepEqual(await p.page.locator('.track-group .group-count').allInnerTexts(), ['2', '1', '1']);
  // A track of several kinds goes under the first group.
  assert.deepEqual(await rowIds(p, '.track-group[data-kind="email"] .track'), [3, 8]);
  assert.deepEqual(await rowIds(p, '#track-list .track'), [3, 8, 6, 9]);
  assert.equal(await p.page.locator('#track-list .track').first().locator('.track-hidden').innerText(), '王小明 · wang@example.cn');

  // The lines that hide nothing are there, collapsed, and have nothing to tick.
  assert.equal(await p.page.locator('#other-text').getAttribute('open'), null);
  assert.equal(await p.page.locator('#other-text summary').innerText(), 'Other text on screen (4)');
  assert.equal(await p.page.locator('#other-list .track').first().isVisible(), false);
  assert.equal(await p.page.locator('#other-list input[type="checkbox"]').count(), 0);
  assert.equal(await p.page.getByLabel('Hide “Views”').count(), 0);
  await p.page.locator('.track[data-id="3"] .track-main').click();
  await p.shot('review-list'); // docs/screenshots/review.png
  await p.page.locator('#other-text summary').click();
  assert.deepEqual(await p.page.locator('#other-list .track-hidden').allInnerTexts(), ['0 Deskline', 'Views', 'Customers', 'Reports']);
  assert.equal(await p.text('#export-summary').then((t) => t.split(' will')[0]), '4 of 4 found texts and 0 drawn masks');

  // A group's box leaves the whole group visible, and hides it again.
  const emails = p.page.getByLabel('Hide all e-mail addresses');
  await emails.uncheck();
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.excludedTrackIDs.join() === '3,8', 'both addresses left visible');
  assert.equal(await p.page.getByLabel('Hide “ops@example.com”').isChecked(), false);
  assert.equal(await p.text('#tracks-summary'), '2 pieces of text hidden, 2 left visible, 4 other lines read');
  // One row back on: the group's box is half set.
  await p.page.getByLabel('Hide “ops@example.com”').check();
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.excludedTrackIDs.join() === '3', 'one address hidden again');
  assert.equal(await emails.evaluate((box) => box.indeterminate), true);
  await p.page.getByLabel('Hide all chinese text').uncheck();
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.excludedTrackIDs.join() === '3,9', 'Chinese text left visible');
  await emails.check();
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.excludedTrackIDs.join() === '9', 'addresses hidden, Chinese still visible');
  assert.equal(await emails.evaluate((box) => box.indeterminate), false);
  // One undo step per group toggle.
  await p.page.locator('#undo-button').click();
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.excludedTrackIDs.join() === '3,9', 'the group toggle undone');

  // Clicking a mask of a line in the other section opens it to show the row.
  await p.page.locator('#other-text summary').click();
  await p.emit('regionSelected', { videoId: VIDEO.id, trackId: 7 });
  await p.page.locator('#other-list .track.selected[data-id="7"]').waitFor();
  assert.equal(await p.page.locator('#other-text').getAttribute('open'), '');
  await p.page.locator('#other-text summary').click();
  await p.emit('regionSelected', { videoId: VIDEO.id, trackId: 3 });
  await p.shot('review-groups');
  await p.noViolations();
});

test('review list keyboard: arrows move, Space toggles, Enter jumps; occurrences step through frames', async (p) => {
  await withVideo(p);
  await scannedWith(p, MIXED);
  const focused = () => p.page.evaluate(() => Number(document.activeElement.closest('.track')?.dataset.id ?? NaN));
  await p.page.locator('.track[data-id="3"] .track-main').focus();
  await p.page.keyboard.press('ArrowDown');
  assert.equal(await focused(), 8);
  assert.equal(await p.page.locator('.track.selected').getAttribute('data-id'), '8', 'the selection follows the keys');
  await p.page.keyboard.press('ArrowDown');
  await p.page.keyboard.press('ArrowDown');
  assert.equal(await focused(), 9, 'across groups');
  await p.page.keyboard.press('ArrowDown');
  assert.equal(await focused(), 9, 'the collapsed section is not entered');
  await p.page.keyboard.press('ArrowUp');
  assert.equal(await focused(), 6);

  // Space toggles the row (and does not play), Enter jumps to its first frame.
  const toggles = (await p.sent('togglePlayback')).length;
  await p.page.keyboard.press(' ');
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.excludedTrackIDs.join() === '6', 'the phone left visible');
  await p.page.keyboard.press(' ');
  await p.waitForLast('setPreview', (m) => m.params.renderSettings.excludedTrackIDs.length === 0, 'hidden again');
  assert.equal((await p.sent('togglePlayback')).length, toggles);
  const seeks = (await p.sent('seek')).length;
  await p.page.keyboard.press('Enter');
  const seek = await p.waitFor('seek', seeks + 1);
  assert.deepEqual(seek.params, { videoId: VIDEO.id, time: 5 });

  // With the section open the arrows go on into it; Space there changes nothing.
  await p.page.locator('#other-text summary').click();
  await p.page.locator('.track[data-id="9"] .track-main').focus();
  await p.page.keyboard.press('ArrowDown');
  assert.equal(await focused(), 1);
  const previews = (await p.sent('setPreview')).length;
  await p.page.keyboard.press(' ');
  await p.page.waitForTimeout(60);
  assert.equal((await p.sent('setPreview')).length, previews);
  await p.page.keyboard.press('End');
  assert.equal(await focused(), 7);
  await p.page.keyboard.press('Home');
  assert.equal(await focused(), 3);

  // Next and previous occurrence ask for the selected track's frames from the preview's time.
  assert.match(await p.text('#occurrence-label'), /“王小明 · wang@example.cn”: 80 frames/);
  await p.emit('playerState', { videoId: VIDEO.id, time: 2.5, isPlaying: false });
  await p.page.locator('#current-time', { hasText: '0:02.5' }).waitFor();
  await p.page.getByRole('button', { name: 'Next occurrence' }).click();
  const step = await p.waitFor('stepTrack');
  assert.deepEqual(step.params, { videoId: VIDEO.id, trackId: 3, time: 2.5, direction: 'next' });
  await p.answer('stepTrack', { resolve: { time: 2.5333 } });
  await p.waitForLast('seek', (m) => m.params.time === 2.5333, 'at the next frame');
  await p.page.getByRole('button', { name: 'Next occurrence' }).click();
  const again = await p.waitFor('stepTrack', 2);
  assert.equal(again.params.time, 2.5333, 'the second step goes on from the first');
  await p.answer('stepTrack', { resolve: { time: null } });
  await p.notice('No later frame shows this text.');
  await p.page.getByRole('button', { name: 'Previous occurrence' }).click();
  assert.equal((await p.waitFor('stepTrack', 3)).params.direction, 'previous');
  await p.answer('stepTrack', { resolve: { time: 2 } });
  await p.waitForLast('seek', (m) => m.params.time === 2, 'at the previous frame');
  await p.noViolations();
});

const reviewState = async (p) => (await p.last('setReviewState'))?.params.unsaved ?? null;
const waitReviewState = (p, unsaved) =>
  p.waitForLast('setReviewState', (m) => m.params.unsaved === unsaved, `saying unsaved: ${unsaved}`);

test('saved reviews: save, the question before an unsaved review goes, and opening one back', async (p) => {
  await withVideo(p);
  assert.equal(await reviewState(p), null, 'nothing to save before a scan');
  assert.ok(await p.page.locator('#save-review-button').isDisabled());
  await scannedWith(p, MIXED);
  await waitReviewState(p, true);

  // Ctrl+S saves the scan with the current settings.
  await p.page.getByLabel('Hide “ops@example.com”').uncheck();
  await p.page.keyboard.press('Control+s');
  const save = await p.waitFor('saveReview');
  assert.equal(save.params.saveAs, false);
  assert.deepEqual(save.params.renderSettings.excludedTrackIDs, [8]);
  assert.equal(save.params.videoId, VIDEO.id);
  await p.answer('saveReview', { resolve: { path: '/home/ann/standup-demo.scrivel' } });
  await p.notice('The review is saved to /home/ann/standup-demo.scrivel.');
  await waitReviewState(p, false);
  assert.equal(await p.page.evaluate(() => document.title), 'standup-demo.mov – Scrivel');

  // An edit makes it unsaved again; undoing it back to the saved state does not.
  await p.page.getByLabel('Hide “ops@example.com”').check();
  await waitReviewState(p, true);
  assert.equal(await p.page.evaluate(() => document.title), 'standup-demo.mov • – Scrivel');
  await p.page.locator('#undo-button').click();
  await waitReviewState(p, false);
  await p.page.getByLabel('Hide all phone numbers').uncheck();
  await waitReviewState(p, true);

  // Closing the window asks; Cancel stays, and the native player stepped aside meanwhile.
  await p.emit('command', { name: 'close' });
  await p.page.locator('#unsaved-prompt').waitFor({ state: 'visible' });
  assert.match(await p.text('#unsaved-text'), /The scan of standup-demo.mov and your choices about it have not been saved/);
  await p.waitForLast('setPlayerBounds', (m) => !m.params.visible, 'hidden under the question');
  await p.shot('unsaved-prompt');
  await p.page.getByRole('button', { name: 'Cancel' }).click();
  await p.page.locator('#unsaved-prompt').waitFor({ state: 'hidden' });
  await p.waitForLast('setPlayerBounds', (m) => m.params.visible, 'back');
  // Escape is Cancel too.
  await p.emit('command', { name: 'close' });
  await p.page.locator('#unsaved-prompt').waitFor({ state: 'visible' });
  await p.page.keyboard.press('Escape');
  await p.page.locator('#unsaved-prompt').waitFor({ state: 'hidden' });
  assert.equal((await p.sent('closeWindow')).length, 0);

  // Opening another recording asks as well; "Save review…" saves first, then goes on.
  await p.page.locator('#open-button').click();
  await p.page.locator('#unsaved-prompt').waitFor({ state: 'visible' });
  assert.equal((await p.sent('openVideo')).length, 1, 'not yet');
  await p.page.getByRole('button', { name: 'Save review…' }).click();
  const second = await p.waitFor('saveReview', 2);
  assert.deepEqual(second.params.renderSettings.excludedTrackIDs, [6, 8]);
  await p.answer('saveReview', { resolve: { path: '/home/ann/standup-demo.scrivel' } });
  await p.waitFor('openVideo', 2);
  await p.answer('openVideo', { resolve: null });

  // A review opened from the file manager: no question while nothing is unsaved.
  const saved = {
    path: '/home/ann/second.scrivel',
    video: OTHER_VIDEO,
    scanSettings: { ...(await p.last('scanVideo')).params.settings, customTerms: ['Falcon'], quality: 'precise' },
    renderSettings: { ...STARTING_STYLE, style: 'solid', excludedTrackIDs: [9], manualMasks: [{ id: 'mask-a', rect: { x: 0.1, y: 0.1, width: 0.2, height: 0.1 }, startTime: 1, endTime: 20, enabled: true }] },
    summary: MIXED,
  };
  await p.emit('openRequested', { path: saved.path, kind: 'review' });
  const open = await p.waitFor('openReview');
  assert.deepEqual(open.params, { path: saved.path });
  await p.answer('openReview', { resolve: saved });
  await p.notice('Opened the review of second take.mp4.');
  assert.equal(await p.text('#video-name'), 'second take.mp4');
  assert.equal(await p.text('#tracks-summary'), '3 pieces of text hidden, 1 left visible, 4 other lines read');
  assert.equal(await p.page.getByLabel('Hide “客户名单”').isChecked(), false, 'its exclusions');
  assert.equal(await p.page.locator('#mask-list .mask').count(), 1, 'its masks');
  const restored = await p.waitForLast('setPreview', (m) => m.params.videoId === OTHER_VIDEO.id && m.params.renderSettings.style === 'solid', 'with the saved settings');
  assert.deepEqual(restored.params.renderSettings, saved.renderSettings);
  await p.page.getByRole('tab', { name: /Scan/ }).click();
  assert.deepEqual(await p.page.locator('#term-list .chip-text').allInnerTexts(), ['Falcon'], 'its scan settings');
  await waitReviewState(p, false);
  // Saving an opened review writes its own file again.
  await p.page.locator('#save-review-button').click();
  assert.equal((await p.waitFor('saveReview', 3)).params.videoId, OTHER_VIDEO.id);
  await p.answer('saveReview', { resolve: { path: saved.path } });

  // A video dropped while edits are unsaved: "Don't save" lets the native side open it.
  await p.page.getByRole('tab', { name: /Review/ }).click();
  await p.page.getByLabel('Hide all phone numbers').uncheck();
  await waitReviewState(p, true);
  await p.emit('openRequested', { path: '/home/ann/third.mp4', kind: 'video' });
  await p.page.getByRole('button', { name: 'Don’t save' }).click();
  const byPath = await p.waitFor('openVideoFile');
  assert.deepEqual(byPath.params, { path: '/home/ann/third.mp4' });
  await p.answer('openVideoFile', { resolve: VIDEO });
  await p.page.locator('#video-name', { hasText: 'standup-demo.mov' }).waitFor();
  await waitReviewState(p, false);

  // Closing with nothing unsaved needs no question; after a new scan it asks, and "Don't save" closes.
  await scannedWith(p, SUMMARY);
  await waitReviewState(p, true);
  await p.emit('command', { name: 'close' });
  await p.page.getByRole('button', { name: 'Don’t save' }).click();
  await p.waitFor('closeWindow');
  await p.noViolations();
});

test('saved reviews: the menu commands, a cancelled save and a refused review', async (p) => {
  await withVideo(p);
  await p.emit('command', { name: 'saveReview' });
  await p.notice('Scan the video before saving a review.');
  assert.equal((await p.sent('saveReview')).length, 0);
  await scannedWith(p, SUMMARY);
  await p.emit('command', { name: 'saveReview' });
  await p.waitFor('saveReview');
  await p.answer('saveReview', { resolve: null }); // the chooser was cancelled
  await p.page.waitForTimeout(60);
  assert.equal(await reviewState(p), true, 'still unsaved');
  // Ctrl+Shift+S always asks where.
  await p.page.keyboard.press('Control+Shift+S');
  assert.equal((await p.waitFor('saveReview', 2)).params.saveAs, true);
  await p.answer('saveReview', { resolve: null });

  await p.emit('command', { name: 'openReview' });
  await p.page.getByRole('button', { name: 'Don’t save' }).click();
  const open = await p.waitFor('openReview');
  assert.deepEqual(open.params, { path: null }, 'the chooser picks the file');
  const refusal = 'The video at /home/ann/standup-demo.mov is not the one this review was made from: its contents have changed. Scan it again instead.';
  await p.answer('openReview', { reject: refusal });
  await p.notice(refusal);
  assert.equal(await p.text('#tracks-summary'), '3 pieces of text hidden, 0 other lines read', 'the current review stays');
  await p.noViolations();
});

// ------------------------------------------------------------------ run

const server = await serve();
const browser = await chromium.launch({
  executablePath: browserPath,
  args: ['--no-sandbox', '--disable-background-networking', '--disable-gpu', '--font-render-hinting=none'],
});
let failed = 0;
let ran = 0;
try {
  for (const { name, fn } of tests) {
    if (only && !name.includes(only)) continue;
    ran += 1;
    const context = await browser.newContext({ viewport: { width: 1280, height: 800 }, colorScheme: 'light' });
    await context.addInitScript({ path: join(here, 'fake-native.js') });
    const page = await context.newPage();
    page.setDefaultTimeout(TIMEOUT);
    const errors = [];
    page.on('pageerror', (error) => errors.push(error.message));
    page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
    const started = Date.now();
    try {
      await page.goto(`${server.url}index.html`);
      await fn(new Page(page));
      assert.deepEqual(errors, [], 'the page logged errors');
      console.log(`ok   ${name} (${Date.now() - started} ms)`);
    } catch (error) {
      failed += 1;
      console.log(`FAIL ${name}\n     ${String(error.stack ?? error).split('\n').slice(0, 6).join('\n     ')}`);
      await page.screenshot({ path: join(artifacts, `failure-${ran}.png`) }).catch(() => {});
    } finally {
      await context.close();
    }
  }
} finally {
  await browser.close();
  await server.close();
}
console.log(`${ran - failed}/${ran} browser tests passed; screenshots in ${artifacts}`);
process.exit(failed || ran === 0 ? 1 : 0);
