#pragma once

#include <opencv2/core.hpp>

namespace scrivel {

// A decoded video frame or a raster made from one: 8-bit BGR, row 0 at the top
// (the usual raster layout). Code that follows the bottom-left convention of
// image space converts at its own boundary (y_pixels = height - y_up).
// Copies share pixels, like cv::Mat; clone() when a private copy is needed.
struct Image {
    cv::Mat pixels; // CV_8UC3, BGR

    Image() = default;
    explicit Image(cv::Mat bgr);

    int width() const { return pixels.cols; }
    int height() const { return pixels.rows; }
    bool empty() const { return pixels.empty(); }
    Image clone() const { return Image(pixels.clone()); }
};

// Whether two images hold the same bytes (same size, same values). Screen
// recordings decode to runs of identical frames while the screen is still;
// whatever was made from the first of a run serves the others.
bool sameBytes(const Image& a, const Image& b);

} // namespace scrivel
