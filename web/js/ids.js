// Fresh identifiers for requests, jobs and manual masks. crypto.randomUUID
// needs a secure context, which a custom scheme may not be, so the id is built
// from getRandomValues, available everywhere.

export function newId(prefix) {
  const bytes = new Uint8Array(12);
  crypto.getRandomValues(bytes);
  const hex = Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
  return prefix ? `${prefix}-${hex}` : hex;
}
