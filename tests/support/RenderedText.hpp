#pragma once

#include <string>
#include <string_view>

#include <opencv2/core.hpp>

#include "decode/Image.hpp"

namespace scrivel::testing {

// Fonts the set-up script installs: DejaVu Sans for Latin text, Noto Sans
// CJK in its Simplified and Traditional Chinese faces.
enum class Font { sans, mono, simplifiedChinese, traditionalChinese };

// A canvas for screen-like test pictures with text drawn by FreeType, which
// also reports where each drawn string's ink lies.
class TextCanvas {
public:
    TextCanvas(int width, int height, cv::Scalar background);

    // Draws `text` with the left end of its baseline at `baseline`; returns
    // the bounding box of the ink (empty when nothing was drawn).
    cv::Rect draw(std::string_view text, cv::Point baseline, int pixelHeight, Font font, cv::Scalar ink);

    // The ink of text[begin, end) (byte offsets) if `text` were drawn as
    // draw() draws it. Found by rendering with and without the part.
    cv::Rect inkOf(std::string_view text, std::size_t begin, std::size_t end, cv::Point baseline, int pixelHeight,
                   Font font) const;

    // Horizontal advance of `text` in pixels.
    int advance(std::string_view text, int pixelHeight, Font font) const;

    void fill(cv::Rect area, cv::Scalar colour);
    Image image() const { return Image(pixels_.clone()); }
    cv::Mat& pixels() { return pixels_; }

private:
    cv::Mat pixels_;
};

// Whether the installed fonts can be loaded (the tests skip otherwise).
bool fontsAvailable();

} // namespace scrivel::testing
