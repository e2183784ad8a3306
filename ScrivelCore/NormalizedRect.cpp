#include "ScrivelCore/NormalizedRect.hpp"

#include <algorithm>
#include <cmath>

namespace scrivel {

namespace {
double clampUnit(double value)
{
    if (std::isnan(value))
        return 0;
    return std::clamp(value, 0.0, 1.0);
}
} // namespace

double NormalizedRect::area() const { return std::max(width, 0.0) * std::max(height, 0.0); }

double NormalizedRect::intersectionArea(const NormalizedRect& other) const
{
    const double iw = std::min(x + width, other.x + other.width) - std::max(x, other.x);
    const double ih = std::min(y + height, other.y + other.height) - std::max(y, other.y);
    return std::max(iw, 0.0) * std::max(ih, 0.0);
}

double NormalizedRect::iou(const NormalizedRect& other) const
{
    const double intersection = intersectionArea(other);
    const double unionArea = area() + other.area() - intersection;
    return unionArea > 0 ? intersection / unionArea : 0;
}

NormalizedRect NormalizedRect::clamped() const
{
    const double left = clampUnit(x);
    const double top = clampUnit(y);
    const double right = clampUnit(x + width);
    const double bottom = clampUnit(y + height);
    return {left, top, std::max(right - left, 0.0), std::max(bottom - top, 0.0)};
}

} // namespace scrivel
