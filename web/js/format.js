// Text forms of times, sizes and rates as the page shows them.

/** Seconds as m:ss.t (or h:mm:ss.t), rounded to tenths. */
export function formatTime(seconds) {
  if (!Number.isFinite(seconds) || seconds < 0) seconds = 0;
  const tenths = Math.round(seconds * 10);
  const t = tenths % 10;
  const whole = Math.floor(tenths / 10);
  const s = whole % 60;
  const m = Math.floor(whole / 60) % 60;
  const h = Math.floor(whole / 3600);
  const ss = String(s).padStart(2, '0');
  return h > 0 ? `${h}:${String(m).padStart(2, '0')}:${ss}.${t}` : `${m}:${ss}.${t}`;
}

/** Bytes in decimal units, the way file managers list them. */
export function formatBytes(bytes) {
  if (!Number.isFinite(bytes) || bytes <= 0) return 'size unknown';
  if (bytes < 1000) return `${bytes} bytes`;
  const units = ['KB', 'MB', 'GB', 'TB'];
  let value = bytes;
  let unit = -1;
  while (value >= 1000 && unit < units.length - 1) {
    value /= 1000;
    unit += 1;
  }
  const digits = value < 10 ? 1 : 0;
  return `${value.toFixed(digits)} ${units[unit]}`;
}

/** Frame rate with at most two decimals and no trailing zeros. */
export function formatFrameRate(fps) {
  if (!Number.isFinite(fps) || fps <= 0) return 'frame rate unknown';
  return `${Number(fps.toFixed(2))} fps`;
}

/** A 0…1 fraction as a whole percentage. */
export function formatPercent(fraction) {
  if (!Number.isFinite(fraction)) return '–';
  return `${Math.round(fraction * 100)}%`;
}

/** Integers with thousands separators. */
export function formatCount(n) {
  return Number.isFinite(n) ? Math.round(n).toLocaleString('en-US') : '–';
}

/**
 * Reads a time typed by the user: plain seconds ("75.5") or m:ss(.s) and
 * h:mm:ss(.s). Anything else is NaN.
 */
export function parseTime(text) {
  const s = String(text).trim();
  if (/^\d+(\.\d*)?$|^\.\d+$/.test(s)) return Number(s);
  const m = /^(?:(\d+):)?(\d+):(\d{1,2}(?:\.\d*)?)$/.exec(s);
  if (!m) return NaN;
  const seconds = Number(m[3]);
  if (seconds >= 60) return NaN;
  return Number(m[1] ?? 0) * 3600 + Number(m[2]) * 60 + seconds;
}
