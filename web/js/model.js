// The settings records the page sends, their starting values, and the checks
// the native side applies to render settings, repeated here so that the page
// can say what is wrong before it sends anything.

import { formatTime } from './format.js';

export const QUALITIES = ['fast', 'balanced', 'precise'];
export const STYLES = ['blur', 'pixelate', 'solid', 'skeleton'];

/** Largest distance in pixels the native side accepts. */
export const DISTANCE_LIMIT = 1_000_000;
/** How far beyond the frame edge a manual mask may reach. */
export const EDGE_TOLERANCE = 1e-7;
export const MAX_SOLID_COLOR = 0xffffff;

export function defaultScanSettings() {
  return {
    allText: false,
    quality: 'balanced',
    confidence: 0.3,
    blurHan: true,
    blurEmails: true,
    blurPhones: true,
    customTerms: [],
  };
}

/** The values the preview uses before the page sends any. */
export function defaultRenderSettings() {
  return {
    style: 'blur',
    blurRadius: 24,
    pixelSize: 12,
    cornerRadius: 0,
    opacity: 1,
    feather: 0,
    padding: { top: 0, right: 0, bottom: 0, left: 0 },
    solidColor: 0x101318,
    skeletonAnimation: true,
    excludedTrackIDs: [],
    manualMasks: [],
  };
}

/** Keys of RenderSettings that describe how masks look. */
export const STYLE_KEYS = [
  'style', 'blurRadius', 'pixelSize', 'cornerRadius', 'opacity', 'feather',
  'padding', 'solidColor', 'skeletonAnimation',
];

/**
 * Adds a custom term unless it is blank or already listed (case-insensitively).
 * Returns the new list; the input is not changed.
 */
export function addTerm(terms, raw) {
  const term = String(raw).trim();
  if (!term) return terms;
  const folded = term.toLocaleLowerCase();
  if (terms.some((t) => t.toLocaleLowerCase() === folded)) return terms;
  return [...terms, term];
}

/** Whether a scan with these settings could find anything at all. */
export function scanLooksForSomething(s) {
  return s.allText || s.blurHan || s.blurEmails || s.blurPhones || s.customTerms.length > 0;
}

/**
 * A sensible time range for a mask drawn at `time`: a second before to two
 * seconds after, kept inside the video. Null when the video has no length.
 */
export function defaultMaskRange(time, duration) {
  if (!(duration > 0)) return null;
  const t = Number.isFinite(time) ? Math.min(Math.max(time, 0), duration) : 0;
  let start = Math.max(0, t - 1);
  let end = Math.min(duration, t + 2);
  if (!(start < end)) {
    start = Math.max(0, duration - 3);
    end = duration;
  }
  return { startTime: round3(start), endTime: round3(end) };
}

const round3 = (x) => Math.round(x * 1000) / 1000;

const inRange = (x, lo, hi) => typeof x === 'number' && x >= lo && x <= hi;
const finite = (x) => typeof x === 'number' && Number.isFinite(x);

const DISTANCE_LABELS = {
  blurRadius: 'Blur radius',
  pixelSize: 'Pixel size',
  cornerRadius: 'Corner radius',
  feather: 'Feather',
};

/**
 * Every reason the native side would refuse these render settings, each as
 * { field, message }. Fields are RenderSettings keys, "padding.<side>", or
 * "mask:<index>:<key>" for manual masks. An empty list means they pass.
 */
export function renderSettingsProblems(settings, duration) {
  const problems = [];
  const add = (field, message) => problems.push({ field, message });
  const videoLength = Number.isFinite(duration) && duration > 0 ? duration : 0;

  const seen = new Map();
  settings.manualMasks.forEach((mask, i) => {
    const at = (key) => `mask:${i}:${key}`;
    if (typeof mask.id !== 'string' || mask.id === '') add(at('id'), 'This mask has no identifier.');
    else if (seen.has(mask.id)) add(at('id'), 'Two masks share one identifier.');
    else seen.set(mask.id, i);

    const r = mask.rect ?? {};
    const inside = [r.x, r.y, r.width, r.height].every(finite) &&
      r.x >= 0 && r.y >= 0 && r.width > 0 && r.height > 0 &&
      r.x + r.width <= 1 + EDGE_TOLERANCE && r.y + r.height <= 1 + EDGE_TOLERANCE;
    if (!inside) add(at('rect'), 'The mask must lie inside the picture.');

    if (!finite(mask.startTime)) add(at('startTime'), 'Start must be a number of seconds.');
    else if (mask.startTime < 0) add(at('startTime'), 'Start cannot be before 0:00.0.');
    if (!finite(mask.endTime)) add(at('endTime'), 'End must be a number of seconds.');
    else if (finite(mask.startTime) && !(mask.startTime < mask.endTime)) {
      add(at('endTime'), 'End must come after start.');
    } else if (mask.endTime > videoLength) {
      add(at('endTime'), videoLength > 0
        ? `End cannot be after the video ends (${formatTime(videoLength)}).`
        : 'Open a video before adding masks.');
    }
  });

  for (const [key, label] of Object.entries(DISTANCE_LABELS)) {
    if (!inRange(settings[key], 0, DISTANCE_LIMIT)) {
      add(key, `${label} must be a number from 0 to 1,000,000 pixels.`);
    }
  }
  for (const side of ['top', 'right', 'bottom', 'left']) {
    if (!inRange(settings.padding?.[side], -DISTANCE_LIMIT, DISTANCE_LIMIT)) {
      add(`padding.${side}`, `Padding must be a number from −1,000,000 to 1,000,000 pixels.`);
    }
  }
  if (!inRange(settings.opacity, 0, 1)) add('opacity', 'Opacity must be between 0 and 100%.');
  if (!Number.isInteger(settings.solidColor) || settings.solidColor < 0 ||
      settings.solidColor > MAX_SOLID_COLOR) {
    add('solidColor', 'Choose a colour without transparency (#000000 to #FFFFFF).');
  }
  if (!STYLES.includes(settings.style)) add('style', 'Choose one of the four mask styles.');
  return problems;
}

/** Packed 0xRRGGBB to "#rrggbb" and back. */
export function colorToHex(color) {
  return `#${(color >>> 0 & MAX_SOLID_COLOR).toString(16).padStart(6, '0')}`;
}

export function hexToColor(hex) {
  const m = /^#?([0-9a-f]{6})$/i.exec(String(hex).trim());
  return m ? parseInt(m[1], 16) : NaN;
}

/**
 * Reads a number typed into a field: an empty or malformed entry is NaN so
 * that validation names it, rather than silently becoming 0.
 */
export function parseNumber(text) {
  const s = String(text).trim().replace(/[\u2212\u2012\u2013]/g, '-');
  if (s === '' || !/^[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$/.test(s)) return NaN;
  return Number(s);
}
