#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ScrivelCore/DetectionTimeline.hpp"
#include "ScrivelCore/MotionTransform.hpp"
#include "ScrivelCore/ScanRecords.hpp"

namespace scrivel {

struct DetectionObservation {
    std::int64_t frame = 0;       // index into the builder's samples, not a video frame
    std::int64_t regionIndex = 0;

    bool operator==(const DetectionObservation&) const = default;
};

// One text identity: the same scene, text and redacted spans, in the same
// canonical place.
struct DetectionTemplate {
    std::int64_t id = 0; // 1-based, creation order
    std::int64_t sceneID = 0;
    std::int64_t referenceFrame = 0;
    DetectedRegion referenceRegion;
    DetectedRegion canonicalRegion;
    std::vector<DetectionObservation> observations;

    bool operator==(const DetectionTemplate&) const = default;
};

// Groups the detections of all samples into templates. Pure; runs on the
// caller's thread. samples and motions must have the same length.
class TextTemplateBuilder {
public:
    TextTemplateBuilder(const std::vector<DetectionSample>& samples,
                        const std::vector<std::optional<MotionTransform>>& motions);

    std::vector<DetectionTemplate> run() const;

    // Lower-cased text keeping only letters and numbers (per grapheme cluster).
    static std::string normalizedText(std::string_view text);

private:
    const std::vector<DetectionSample>& samples_;
    const std::vector<std::optional<MotionTransform>>& motions_;
};

} // namespace scrivel
