#include "support/RenderedText.hpp"

#include <filesystem>
#include <map>

#include <opencv2/freetype.hpp>
#include <opencv2/imgproc.hpp>

namespace scrivel::testing {

namespace {

struct FontFile {
    const char* path;
    int face;
};

FontFile fontFile(Font font)
{
    switch (font) {
    case Font::sans: return {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 0};
    case Font::mono: return {"/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf", 0};
    // Faces of the collection: 0 JP, 1 KR, 2 SC, 3 TC.
    case Font::simplifiedChinese: return {"/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc", 2};
    case Font::traditionalChinese: return {"/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc", 3};
    }
    return {"", 0};
}

// FreeType objects are not shared between threads.
cv::freetype::FreeType2& renderer(Font font)
{
    thread_local std::map<Font, cv::Ptr<cv::freetype::FreeType2>> cache;
    auto& slot = cache[font];
    if (!slot) {
        slot = cv::freetype::createFreeType2();
        auto file = fontFile(font);
        slot->loadFontData(file.path, file.face);
    }
    return *slot;
}

cv::Rect inkBox(const cv::Mat& before, const cv::Mat& after)
{
    cv::Mat difference, grey;
    cv::absdiff(before, after, difference);
    cv::cvtColor(difference, grey, cv::COLOR_BGR2GRAY);
    std::vector<cv::Point> points;
    cv::findNonZero(grey > 24, points);
    return points.empty() ? cv::Rect() : cv::boundingRect(points);
}

} // namespace

TextCanvas::TextCanvas(int width, int height, cv::Scalar background)
    : pixels_(height, width, CV_8UC3, background)
{
}

cv::Rect TextCanvas::draw(std::string_view text, cv::Point baseline, int pixelHeight, Font font, cv::Scalar ink)
{
    cv::Mat before = pixels_.clone();
    renderer(font).putText(pixels_, std::string(text), baseline, pixelHeight, ink, -1, cv::LINE_AA, true);
    return inkBox(before, pixels_);
}

cv::Rect TextCanvas::inkOf(std::string_view text, std::size_t begin, std::size_t end, cv::Point baseline,
                           int pixelHeight, Font font) const
{
    cv::Mat without(pixels_.size(), CV_8UC3, cv::Scalar::all(255));
    cv::Mat with = without.clone();
    std::string prefix(text.substr(0, begin));
    std::string through(text.substr(0, end));
    auto& r = renderer(font);
    if (!prefix.empty())
        r.putText(without, prefix, baseline, pixelHeight, cv::Scalar::all(0), -1, cv::LINE_AA, true);
    r.putText(with, through, baseline, pixelHeight, cv::Scalar::all(0), -1, cv::LINE_AA, true);
    return inkBox(without, with);
}

int TextCanvas::advance(std::string_view text, int pixelHeight, Font font) const
{
    int baseline = 0;
    return renderer(font).getTextSize(std::string(text), pixelHeight, -1, &baseline).width;
}

void TextCanvas::fill(cv::Rect area, cv::Scalar colour)
{
    cv::rectangle(pixels_, area, colour, cv::FILLED);
}

bool fontsAvailable()
{
    for (Font font : {Font::sans, Font::mono, Font::simplifiedChinese, Font::traditionalChinese})
        if (!std::filesystem::exists(fontFile(font).path))
            return false;
    return true;
}

} // namespace scrivel::testing
