#pragma once

// What the review list needs of a scan beyond the track summaries: which
// kinds of span hide each track (to group the list by them), and the frames
// a track appears in (to step through them).

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"

namespace scrivel {

// Per track, the kinds of its spans over all its frames, each once, in the
// order the review groups them: e-mail, phone, Han, custom, all. A track
// that hides nothing in any frame is left out.
std::map<std::int64_t, std::vector<RedactionKind>> hiddenKindsByTrack(const ScanResult& result);

enum class TrackStep { next, previous };

// The time of the first frame after `fromSeconds` (or the last one before it)
// in which the track appears; nullopt when there is none. Frames within half
// a frame of `fromSeconds` count as the one being shown.
std::optional<double> trackFrameTime(const ScanResult& result, std::int64_t trackId, double fromSeconds,
                                     TrackStep step);

} // namespace scrivel
