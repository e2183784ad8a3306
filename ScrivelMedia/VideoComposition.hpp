#pragma once

#include <functional>

#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"
#include "ScrivelMedia/Image.hpp"

namespace scrivel {

// Draws a scan result's masks, and the user's manual masks, over every frame
// of a video: the per-frame step shared by the export and the preview.
namespace VideoComposition {

// Draws into an upright frame of the video's display size, shown at
// `timeSeconds` (a non-finite time counts as 0). The handler only reads what
// it captured, so it may be called from several threads at once.
using FrameHandler = std::function<void(Image& frame, double timeSeconds)>;

FrameHandler make(const ScanResult& scanResult, const RenderSettings& renderSettings, bool showRegions);

} // namespace VideoComposition

} // namespace scrivel
