#include "ScrivelCore/DetectionTimeline.hpp"

#include <algorithm>
#include <cmath>

namespace scrivel {

namespace {
// A sample may be up to this much later than the asked time and still count,
// so that a frame time rounded by the player still finds its own sample.
constexpr double timeTolerance = 1e-7;

// Ascending time with NaN times last, a strict weak order even for bad input.
bool earlier(const DetectionSample& a, const DetectionSample& b)
{
    if (std::isnan(a.time))
        return false;
    if (std::isnan(b.time))
        return true;
    return a.time < b.time;
}
} // namespace

DetectionTimeline::DetectionTimeline(std::vector<DetectionSample> samples) : samples_(std::move(samples))
{
    std::stable_sort(samples_.begin(), samples_.end(), earlier);
}

const std::vector<DetectedRegion>& DetectionTimeline::regions(double time) const
{
    static const std::vector<DetectedRegion> none;
    if (!std::isfinite(time))
        return none;
    const double limit = time + timeTolerance;
    // Samples at or before the limit form a prefix (NaN times sort last and compare false).
    const auto after = std::partition_point(samples_.begin(), samples_.end(),
                                            [limit](const DetectionSample& sample) { return sample.time <= limit; });
    if (after == samples_.begin())
        return none;
    return std::prev(after)->regions;
}

} // namespace scrivel
