#pragma once

// tracking/: text followed through every frame by its look. VideoMaskTracker
// groups readings into identities, takes a patch of each (TrackingImage) and
// follows it over the frames the scan kept (TrackingFrames).

#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "ScrivelCore/MotionTransform.hpp"
#include "ScrivelCore/ScanRecords.hpp"
#include "scan/ScanProgress.hpp"
#include "tracking/TrackingFrames.hpp"

namespace scrivel {

// Turns the scan's per-frame recognitions into one set of masks per frame:
// groups them into text identities, takes an appearance patch of each, and
// follows every identity through every frame of the video.
class VideoMaskTracker {
public:
    // samples: one per decoded frame, sorted by time; motions[f] maps frame f's
    // scene canonical coordinates into frame f (nullopt: no estimate);
    // frames: every frame of the video, as the scan kept them.
    // Returns one sample per input sample with the same time and scene,
    // holding every span the sample's own readings matched (also where the
    // frame has no motion estimate) and the masks tracking adds.
    // Throws VideoScanError::decodeFailed when the frames do not match the
    // samples one to one (count or times), frameConversionFailed when a
    // frame cannot be prepared for matching, OperationCancelled when stopped.
    std::vector<DetectionSample> track(const TrackingFrames& frames,
                                       const std::vector<DetectionSample>& samples,
                                       const std::vector<std::optional<MotionTransform>>& motions,
                                       const ScanProgressCallback& progress,
                                       std::stop_token stopToken) const;

    // The same for a caller that did not keep the frames: decodes the file at
    // videoPath once first.
    std::vector<DetectionSample> track(const std::string& videoPath,
                                       const std::vector<DetectionSample>& samples,
                                       const std::vector<std::optional<MotionTransform>>& motions,
                                       const ScanProgressCallback& progress,
                                       std::stop_token stopToken) const;
};

} // namespace scrivel
