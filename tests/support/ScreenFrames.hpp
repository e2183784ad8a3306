#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "decode/Image.hpp"
#include "support/RenderedText.hpp"

namespace scrivel::testing {

// A string drawn on a generated frame, with where its ink lies.
struct DrawnSpan {
    std::string text;
    cv::Rect ink;
};

struct DrawnLine {
    std::string text;
    cv::Rect ink;
    Font font = Font::sans;
    int pixelHeight = 0;
    std::vector<DrawnSpan> emails;
    std::vector<DrawnSpan> phones;
    std::vector<DrawnSpan> hanRuns;
};

struct ScreenFrame {
    Image image;
    bool dark = false;
    std::vector<DrawnLine> lines;
};

// Screen-like frames for accuracy and speed measurements: light or dark
// theme, 12-20 px UI text in two columns, English, Simplified and
// Traditional Chinese, e-mail addresses, phone numbers and code. The same
// seed gives the same frames.
ScreenFrame makeScreenFrame(std::uint32_t seed, int width = 1920, int height = 1080);

} // namespace scrivel::testing
