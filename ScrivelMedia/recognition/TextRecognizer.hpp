#pragma once

#include <memory>
#include <span>
#include <vector>

#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"
#include "decode/Image.hpp"
#include "recognition/TextObservation.hpp"

namespace scrivel {

class OcrEngine;

// Turns one frame into the text lines a scan keeps for it: recognises the
// lines, filters them (TextObservationFilter), asks TextMatcher what to
// redact in each and WrappedLineMatcher what a line break splits between
// two, and measures where those spans sit. Keeps no state between
// calls; recognize() may run on several threads at once.
class TextRecognizer {
public:
    // Uses the process-wide engine (OcrEngine::shared()).
    TextRecognizer();
    explicit TextRecognizer(std::shared_ptr<const OcrEngine> engine);

    // `image` is the raster the lines are found on, its size chosen by the
    // scan quality. `fullResolutionFrame`, when given, is the same frame at
    // its full size; lines are read from it. Throws the engine's error when
    // recognition fails or the box of a kept line cannot be computed.
    std::vector<DetectedRegion> recognize(const Image& image, const ScanSettings& settings,
                                          const Image* fullResolutionFrame = nullptr) const;

    // Everything after recognition: filtering, matching, selection boxes and
    // duplicate merging, for the observations of one frame in result order.
    // `imageAspectRatio` is the frame's width over its height.
    static std::vector<DetectedRegion> regions(std::span<const TextObservation* const> observations,
                                               double imageAspectRatio, const ScanSettings& settings);

private:
    std::shared_ptr<const OcrEngine> engine_;
};

} // namespace scrivel
