#include "ScrivelCore/TrackReview.hpp"

#include <algorithm>
#include <array>

namespace scrivel {

namespace {

constexpr std::array<RedactionKind, 5> groupOrder = {RedactionKind::email, RedactionKind::phone, RedactionKind::han,
                                                     RedactionKind::custom, RedactionKind::all};

std::size_t groupIndex(RedactionKind kind)
{
    return static_cast<std::size_t>(std::find(groupOrder.begin(), groupOrder.end(), kind) - groupOrder.begin());
}

bool hasTrack(const DetectionSample& sample, std::int64_t trackId)
{
    return std::any_of(sample.regions.begin(), sample.regions.end(),
                       [&](const DetectedRegion& region) { return region.trackID == trackId; });
}

} // namespace

std::map<std::int64_t, std::vector<RedactionKind>> hiddenKindsByTrack(const ScanResult& result)
{
    std::map<std::int64_t, std::array<bool, groupOrder.size()>> seen;
    for (const DetectionSample& sample : result.samples)
        for (const DetectedRegion& region : sample.regions)
            for (const TextSelection& selection : region.selections)
                seen[region.trackID][groupIndex(selection.kind)] = true;
    std::map<std::int64_t, std::vector<RedactionKind>> kinds;
    for (const auto& [id, flags] : seen)
        for (std::size_t i = 0; i < groupOrder.size(); ++i)
            if (flags[i])
                kinds[id].push_back(groupOrder[i]);
    return kinds;
}

std::optional<double> trackFrameTime(const ScanResult& result, std::int64_t trackId, double fromSeconds,
                                     TrackStep step)
{
    const double tolerance = result.frameRate > 0 ? 0.5 / result.frameRate : 1e-3;
    const auto& samples = result.samples;
    if (step == TrackStep::next) {
        for (const DetectionSample& sample : samples)
            if (sample.time > fromSeconds + tolerance && hasTrack(sample, trackId))
                return sample.time;
    } else {
        for (auto it = samples.rbegin(); it != samples.rend(); ++it)
            if (it->time < fromSeconds - tolerance && hasTrack(*it, trackId))
                return it->time;
    }
    return std::nullopt;
}

} // namespace scrivel
