// The review list: found text grouped by what hides it, text that was read
// but hides nothing kept apart, and the line that sums up what an export
// will hide.

/** The groups in the order the list shows them; a track goes under the first of its kinds. */
export const GROUPS = [
  { kind: 'email', title: 'E-mail addresses' },
  { kind: 'phone', title: 'Phone numbers' },
  { kind: 'han', title: 'Chinese text' },
  { kind: 'custom', title: 'Your terms' },
  { kind: 'all', title: 'All text' },
];

/** The group a track is listed under, or null when it hides nothing. */
export function groupOf(track) {
  const kinds = Array.isArray(track.kinds) ? track.kinds : [];
  return GROUPS.find((group) => kinds.includes(group.kind))?.kind ?? null;
}

/**
 * { groups: [{ kind, title, tracks }], other: [tracks] }: only groups that
 * hold a track, each keeping the summary's order.
 */
export function groupTracks(tracks) {
  const groups = GROUPS.map((group) => ({ ...group, tracks: [] }));
  const other = [];
  for (const track of tracks) {
    const kind = groupOf(track);
    if (kind) groups.find((group) => group.kind === kind).tracks.push(track);
    else other.push(track);
  }
  return { groups: groups.filter((group) => group.tracks.length > 0), other };
}

/** Tracks that hide something: the ones an exclusion means anything for. */
export function hidingTracks(tracks) {
  return tracks.filter((track) => groupOf(track) !== null);
}

/** 'hidden' when every track of the group is hidden, 'visible' when none is, 'mixed' otherwise. */
export function groupState(group, excludedIds) {
  const left = group.tracks.filter((track) => excludedIds.includes(track.id)).length;
  if (left === 0) return 'hidden';
  return left === group.tracks.length ? 'visible' : 'mixed';
}

/** The exclusions with every track of `group` left visible (or hidden again); sorted, no repeats. */
export function withGroupExcluded(excludedIds, group, excluded) {
  const ids = new Set(excludedIds);
  for (const track of group.tracks) {
    if (excluded) ids.add(track.id);
    else ids.delete(track.id);
  }
  return [...ids].sort((a, b) => a - b);
}

const plural = (n, one, many) => `${n} ${n === 1 ? one : many}`;

/** "7 pieces of text hidden, 2 left visible, 49 other lines read". */
export function reviewSummaryText(tracks, excludedIds) {
  const hiding = hidingTracks(tracks);
  const visible = hiding.filter((track) => excludedIds.includes(track.id)).length;
  const parts = [`${plural(hiding.length - visible, 'piece', 'pieces')} of text hidden`];
  if (visible) parts.push(`${visible} left visible`);
  parts.push(`${plural(tracks.length - hiding.length, 'other line', 'other lines')} read`);
  return parts.join(', ');
}
