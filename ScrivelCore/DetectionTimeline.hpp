#pragma once

#include <optional>
#include <vector>

#include "ScrivelCore/MotionTransform.hpp"
#include "ScrivelCore/ScanRecords.hpp"

namespace scrivel {

struct DetectionTemplate;

// Samples stably sorted by time, for "which masks are in effect at t".
class DetectionTimeline {
public:
    explicit DetectionTimeline(std::vector<DetectionSample> samples);

    // Regions of the last sample with time <= t + 1e-7; empty for a
    // non-finite t or a t before the first sample.
    const std::vector<DetectedRegion>& regions(double time) const;
    const std::vector<DetectionSample>& samples() const { return samples_; }

    // Groups per-frame detections into text identities (see TextTemplateBuilder).
    static std::vector<DetectionTemplate> templates(const std::vector<DetectionSample>& samples,
                                                    const std::vector<std::optional<MotionTransform>>& motions);

private:
    std::vector<DetectionSample> samples_;
};

} // namespace scrivel
