#include "ScrivelApp/ManualMaskGeometry.hpp"

namespace scrivel::ManualMaskGeometry {

std::optional<NormalizedRect> rect(ViewPoint start, ViewPoint end, const PlayerRect& videoRect) {
    if (videoRect.isEmpty() || !videoRect.contains(start)) return std::nullopt;
    const PlayerRect drag = intersect(spanning(start, end), videoRect);
    if (drag.width < minimumExtent || drag.height < minimumExtent) return std::nullopt;
    // Both conventions put y downwards here, so no flip is needed.
    return NormalizedRect{(drag.minX() - videoRect.minX()) / videoRect.width,
                          (drag.minY() - videoRect.minY()) / videoRect.height, drag.width / videoRect.width,
                          drag.height / videoRect.height};
}

} // namespace scrivel::ManualMaskGeometry
