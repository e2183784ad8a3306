#include "render/VideoComposition.hpp"

#include <algorithm>
#include <cmath>

#include "render/BlurRenderer.hpp"

namespace scrivel {

namespace VideoComposition {

namespace {

double frameTime(double timeSeconds)
{
    return std::isfinite(timeSeconds) ? timeSeconds : 0.0;
}

} // namespace

FrameHandler::FrameHandler(const ScanResult& scanResult, const RenderSettings& renderSettings, bool showRegions)
    : timeline_(std::make_shared<const DetectionTimeline>(scanResult.samples))
    , renderSettings_(renderSettings)
    , showRegions_(showRegions)
{
}

void FrameHandler::operator()(Image& frame, double timeSeconds) const
{
    const double time = frameTime(timeSeconds);
    BlurRenderer::renderInPlace(frame, timeline_->regions(time), renderSettings_, time, showRegions_);
}

bool FrameHandler::leavesUnchanged(double timeSeconds) const
{
    const double time = frameTime(timeSeconds);
    const auto& regions = timeline_->regions(time);
    if (std::any_of(regions.begin(), regions.end(), [](const DetectedRegion& r) { return !r.selections.empty(); }))
        return false;
    return std::none_of(renderSettings_.manualMasks.begin(), renderSettings_.manualMasks.end(),
                        [time](const ManualMask& m) { return m.enabled && m.startTime <= time && time < m.endTime; });
}

std::vector<cv::Rect> FrameHandler::changedArea(double timeSeconds, cv::Size frameSize) const
{
    const double time = frameTime(timeSeconds);
    return BlurRenderer::changedArea(timeline_->regions(time), renderSettings_, time, showRegions_, frameSize);
}

FrameHandler make(const ScanResult& scanResult, const RenderSettings& renderSettings, bool showRegions)
{
    return FrameHandler(scanResult, renderSettings, showRegions);
}

} // namespace VideoComposition

} // namespace scrivel
