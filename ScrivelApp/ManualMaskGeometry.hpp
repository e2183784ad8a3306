#pragma once

#include <optional>

#include "ScrivelApp/PlayerViewGeometry.hpp"
#include "ScrivelCore/NormalizedRect.hpp"

namespace scrivel {

// Turns a drag in the preview into a manual mask.
namespace ManualMaskGeometry {

// The drag must be at least this wide and this tall, in view points.
inline constexpr double minimumExtent = 4;

// The normalised rectangle (origin top-left) of the drag from `start` to
// `end`, clipped to the picture `videoRect`. nullopt when the picture is
// empty, the drag starts outside it, or the clipped drag is smaller than
// 4 × 4 points.
std::optional<NormalizedRect> rect(ViewPoint start, ViewPoint end, const PlayerRect& videoRect);

} // namespace ManualMaskGeometry

} // namespace scrivel
