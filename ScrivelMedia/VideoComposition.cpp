#include "ScrivelMedia/VideoComposition.hpp"

#include <cmath>
#include <memory>

#include "ScrivelCore/DetectionTimeline.hpp"
#include "ScrivelMedia/BlurRenderer.hpp"

namespace scrivel {

namespace VideoComposition {

FrameHandler make(const ScanResult& scanResult, const RenderSettings& renderSettings, bool showRegions)
{
    auto timeline = std::make_shared<const DetectionTimeline>(scanResult.samples);
    return [timeline, renderSettings, showRegions](Image& frame, double timeSeconds) {
        const double time = std::isfinite(timeSeconds) ? timeSeconds : 0.0;
        BlurRenderer::renderInPlace(frame, timeline->regions(time), renderSettings, time, showRegions);
    };
}

} // namespace VideoComposition

} // namespace scrivel
