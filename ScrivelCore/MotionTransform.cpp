#include "ScrivelCore/MotionTransform.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace scrivel {

MotionTransform::MotionTransform(double scale, double tx, double ty)
    : scale_(scale), tx_(tx), ty_(ty)
{
    if (!(std::isfinite(scale) && scale > 0 && std::isfinite(tx) && std::isfinite(ty))) {
        std::fprintf(stderr,
                     "Scrivel: invalid motion transform (scale %.17g, tx %.17g, ty %.17g): "
                     "scale must be finite and > 0, offsets finite\n",
                     scale, tx, ty);
        std::abort();
    }
}

MotionTransform MotionTransform::inverted() const { return {1 / scale_, -tx_ / scale_, -ty_ / scale_}; }

MotionTransform MotionTransform::composed(const MotionTransform& other) const
{
    return {other.scale_ * scale_, other.tx_ * scale_ + tx_, other.ty_ * scale_ + ty_};
}

NormalizedRect MotionTransform::applying(const NormalizedRect& rect) const
{
    return {rect.x * scale_ + tx_, rect.y * scale_ + ty_, rect.width * scale_, rect.height * scale_};
}

DetectedRegion MotionTransform::applying(const DetectedRegion& region) const
{
    DetectedRegion mapped = region;
    mapped.rect = applying(region.rect);
    return mapped;
}

} // namespace scrivel
