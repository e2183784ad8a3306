#pragma once

#include <vector>

namespace scrivel {

// A luminance raster (0…1 per pixel), row 0 at the top.
struct GrayRaster {
    int width = 0;
    int height = 0;
    std::vector<float> pixels; // row-major, width × height

    // Half the size ((w + 1) / 2 × (h + 1) / 2), each pixel the mean of a 2 × 2
    // block; an odd last row or column is averaged with itself.
    GrayRaster downsampled() const;
    // Bilinear value at (x, y) in pixel-centre coordinates, clamped to the raster.
    float sample(double x, double y) const;

    float at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }

    bool operator==(const GrayRaster&) const = default;
};

} // namespace scrivel
