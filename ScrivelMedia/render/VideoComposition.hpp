#pragma once

#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "ScrivelCore/DetectionTimeline.hpp"
#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"
#include "decode/Image.hpp"

namespace scrivel {

// Draws a scan result's masks, and the user's manual masks, over every frame
// of a video: the per-frame step shared by the export and the preview.
namespace VideoComposition {

// Draws into an upright frame of the video's display size shown at a time in
// seconds (a non-finite time counts as 0): the regions in effect then
// (DetectionTimeline::regions), then the manual masks active then. It only
// reads what it captured, so it may be called from several threads at once.
class FrameHandler {
public:
    FrameHandler(const ScanResult& scanResult, const RenderSettings& renderSettings, bool showRegions);

    void operator()(Image& frame, double timeSeconds) const;
    // True when nothing at all is drawn at this time, so a frame can be
    // passed on untouched.
    bool leavesUnchanged(double timeSeconds) const;
    // Image-space rectangles that hold every pixel a call at this time may
    // change in a frame of this size.
    std::vector<cv::Rect> changedArea(double timeSeconds, cv::Size frameSize) const;

private:
    std::shared_ptr<const DetectionTimeline> timeline_;
    RenderSettings renderSettings_;
    bool showRegions_;
};

FrameHandler make(const ScanResult& scanResult, const RenderSettings& renderSettings, bool showRegions);

} // namespace VideoComposition

} // namespace scrivel
