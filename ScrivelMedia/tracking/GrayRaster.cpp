#include "tracking/GrayRaster.hpp"

#include <algorithm>
#include <cmath>

namespace scrivel {

GrayRaster GrayRaster::downsampled() const
{
    GrayRaster half;
    half.width = (width + 1) / 2;
    half.height = (height + 1) / 2;
    half.pixels.resize(static_cast<std::size_t>(half.width) * half.height);
    for (int j = 0; j < half.height; ++j) {
        const int y0 = 2 * j, y1 = std::min(2 * j + 1, height - 1);
        for (int i = 0; i < half.width; ++i) {
            const int x0 = 2 * i, x1 = std::min(2 * i + 1, width - 1);
            half.pixels[static_cast<std::size_t>(j) * half.width + i] = 0.25f * (at(x0, y0) + at(x1, y0) + at(x0, y1) + at(x1, y1));
        }
    }
    return half;
}

float GrayRaster::sample(double x, double y) const
{
    x = std::clamp(x, 0.0, static_cast<double>(width - 1));
    y = std::clamp(y, 0.0, static_cast<double>(height - 1));
    const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
    const int x1 = std::min(x0 + 1, width - 1), y1 = std::min(y0 + 1, height - 1);
    const float fx = static_cast<float>(x - x0), fy = static_cast<float>(y - y0);
    return (1 - fy) * ((1 - fx) * at(x0, y0) + fx * at(x1, y0)) + fy * ((1 - fx) * at(x0, y1) + fx * at(x1, y1));
}

} // namespace scrivel
