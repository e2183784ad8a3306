// Lines made of what shows of the previous frame's lines (a scroll under a
// frozen column, a line scrolled partly out of the frame), on rendered
// screen-like frames.

#include "recognition/IncrementalRecognizer.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "ScrivelCore/Errors.hpp"
#include "recognition/OcrEngine.hpp"
#include "recognition/TextRecognizer.hpp"
#include "support/IncrementalPages.hpp"
#include "support/OcrSuite.hpp"
#include "support/RenderedText.hpp"

namespace scrivel {
namespace {

// A scroll brings a line to the edge of what the previous frame showed,
// its margin partly beyond it: the line is kept, and every amount of
// scrolling recognizes what a fresh look does.
TEST_F(IncrementalRecognition, ALineAtTheEdgeOfAScrollIsKept)
{
    TextCanvas page(kWidth, kPageHeight, {255, 255, 255});
    page.draw("Weekly review notes", {24, 100}, 22, Font::sans, {30, 30, 30});
    page.draw("Reply to nadia@deskline.app", {24, 300}, 22, Font::sans, {30, 30, 30});
    for (const int baseline : {628, 632})
        page.draw("Call +1 303 555 0164 today " + std::to_string(baseline), {24, baseline}, 22, Font::sans,
                  {30, 30, 30});
    for (const int top : {6, 12, 18}) {
        SCOPED_TRACE(top);
        IncrementalRecognizer recognizer(engine_, {2});
        recognizer.recognize(view(page.pixels(), 0), view(page.pixels(), 0), settings(), scrolledBy(0));
        const Image frame = view(page.pixels(), top);
        const auto regions = recognizer.recognize(frame, frame, settings(), scrolledBy(top));
        EXPECT_EQ(texts(regions), texts(full(frame)));
        EXPECT_GT(recognizer.statistics().linesCarried, 0);
    }
}

// A sideways scroll as the registration reports it: content moved `left`
// pixels to the left since the scene began.
IncrementalRecognizer::FrameContext scrolledSidewaysBy(int left)
{
    return {MotionTransform(1, -static_cast<double>(left) / kWidth, 0), 0};
}

// The page's first lines on a canvas wider than the frame, starting
// `indent` pixels from its left side, to scroll sideways; line `changed`, if
// any, reads `text` instead.
cv::Mat renderWidePage(int indent, std::size_t changed = kPageLines.size(), const std::string& text = {})
{
    TextCanvas canvas(1000, kHeight, {255, 255, 255});
    for (std::size_t i = 0; i < 17; ++i)
        canvas.draw(i == changed ? text : kPageLines[i], {indent, 40 + kLineSpacing * static_cast<int>(i)}, 22,
                    Font::sans, {30, 30, 30});
    return canvas.pixels().clone();
}

// A frame of a sheet scrolled `left` pixels sideways under its frozen first
// column `column` (as wide as the column, as high as the frame).
Image withFrozenColumn(const cv::Mat& body, int left, const cv::Mat& column)
{
    cv::Mat pixels(kHeight, kWidth, CV_8UC3);
    column.copyTo(pixels(cv::Rect(0, 0, column.cols, kHeight)));
    const cv::Rect shown(column.cols, 0, kWidth - column.cols, kHeight);
    body(cv::Rect(left, 0, shown.width, kHeight)).copyTo(pixels(shown));
    return Image(pixels);
}

// A sheet's frames under frozen column `column` (its pixels) scrolled
// sideways, from no scroll to `left` pixels, recognized in turn: the second
// frame, its regions and the lines it read and composed.
struct SidewaysScroll {
    Image frame;
    std::vector<DetectedRegion> regions;
    std::int64_t read = 0;
    std::int64_t composed = 0;
};

SidewaysScroll scrollUnderFrozenColumn(IncrementalRecognizer& recognizer, const cv::Mat& body, const cv::Mat& column,
                                       int left)
{
    const Image first = withFrozenColumn(body, 0, column);
    recognizer.recognize(first, first, settings(), scrolledSidewaysBy(0));
    const IncrementalRecognizer::Statistics before = recognizer.statistics();
    const Image second = withFrozenColumn(body, left, column);
    auto regions = recognizer.recognize(second, second, settings(), scrolledSidewaysBy(left));
    return {second, std::move(regions), recognizer.statistics().linesRead - before.linesRead,
            recognizer.statistics().linesComposed - before.linesComposed};
}

// The frame-normalised mask of the first e-mail address found, if any.
std::optional<NormalizedRect> emailMask(const std::vector<DetectedRegion>& regions)
{
    for (const auto& region : regions) {
        const std::vector<NormalizedRect> masks = region.maskRects();
        for (std::size_t i = 0; i < region.selections.size(); ++i)
            if (region.selections[i].kind == RedactionKind::email)
                return masks[i];
    }
    return std::nullopt;
}

// A sheet scrolled sideways takes a cell's start under its frozen first
// column. What still shows of the cell is the old picture: it keeps the
// characters of the old reading that show, without reading the line again,
// and the address in it stays masked where it shows.
TEST_F(IncrementalRecognition, ACellScrollingUnderAFrozenColumnKeepsTheCharactersThatShow)
{
    constexpr int kColumn = 64;
    const cv::Mat body = renderWidePage(8);
    TextCanvas column(kColumn, kHeight, {228, 228, 228});
    column.fill({kColumn - 1, 0, 1, kHeight}, {160, 160, 160});
    IncrementalRecognizer recognizer(engine_, {2});
    const int hidden = TextCanvas(1, 1, {}).advance("Contact: ja", 22, Font::sans) - 8; // under the column
    const SidewaysScroll scroll = scrollUnderFrozenColumn(recognizer, body, column.pixels(), hidden);
    // Every line's start went under the column; most are not read again.
    EXPECT_GT(scroll.composed, scroll.read);
    EXPECT_TRUE(anyTextContains(scroll.regions, "ne.doe@example.com"));
    EXPECT_FALSE(anyTextContains(scroll.regions, "Contact"));
    const auto mask = emailMask(scroll.regions);
    const auto fullMask = emailMask(full(scroll.frame));
    ASSERT_TRUE(mask);
    ASSERT_TRUE(fullMask);
    // Over what shows of the address, not over the column.
    EXPECT_GE(mask->x * kWidth, kColumn - 3);
    EXPECT_LE(mask->x, fullMask->x + 2.0 / kWidth);
    EXPECT_GE(mask->maxX(), fullMask->maxX() - 2.0 / kWidth);
}

// A sheet's row numbers stand in its frozen column, and a cell cut by the
// column is found joined to the number beside it: the line is made of what
// shows of both, with a space between them, and is not read again.
TEST_F(IncrementalRecognition, ACutCellJoinedToTheRowNumberBesideItIsMadeOfBoth)
{
    constexpr int kColumn = 40;
    const cv::Mat body = renderWidePage(4);
    TextCanvas numbers(kColumn, kHeight, {255, 255, 255});
    for (int row = 0; row < 17; ++row)
        numbers.draw(std::to_string(row + 1), {6, 40 + kLineSpacing * row}, 22, Font::sans, {90, 90, 90});
    IncrementalRecognizer recognizer(engine_, {2});
    const int hidden = TextCanvas(1, 1, {}).advance("Contact: ja", 22, Font::sans) - 4;
    const SidewaysScroll scroll = scrollUnderFrozenColumn(recognizer, body, numbers.pixels(), hidden);
    EXPECT_GT(scroll.composed, scroll.read);
    // Row 10's cell is found joined to its number: the line reads as the
    // number, a space and what shows of the cell.
    EXPECT_TRUE(std::any_of(scroll.regions.begin(), scroll.regions.end(), [](const DetectedRegion& region) {
        return region.text.starts_with("10 ") && region.text.ends_with("to Thursday");
    }));
    // The address that shows is masked as reading the frame afresh masks it.
    const auto mask = emailMask(scroll.regions);
    const auto fullMask = emailMask(full(scroll.frame));
    ASSERT_TRUE(mask);
    ASSERT_TRUE(fullMask);
    EXPECT_NEAR(mask->x, fullMask->x, 2.0 / kWidth);
    EXPECT_GE(mask->maxX(), fullMask->maxX() - 2.0 / kWidth);
}

// A line scrolled partly out of the frame keeps the characters beyond the
// edge in its reading: the part of an address that still shows is masked as
// the address, from the edge on.
TEST_F(IncrementalRecognition, ALineScrolledPartlyOutOfTheFrameIsMaskedAsItWas)
{
    const cv::Mat body = renderWidePage(24);
    const auto frameAt = [&](int left) { return Image(body(cv::Rect(left, 0, kWidth, kHeight)).clone()); };
    IncrementalRecognizer recognizer(engine_, {2});
    recognizer.recognize(frameAt(0), frameAt(0), settings(), scrolledSidewaysBy(0));
    const int out = 24 + TextCanvas(1, 1, {}).advance("Contact: jane.d", 22, Font::sans);
    const Image second = frameAt(out);
    const auto regions = recognizer.recognize(second, second, settings(), scrolledSidewaysBy(out));
    EXPECT_GE(recognizer.statistics().linesComposed, 1);
    EXPECT_TRUE(anyTextContains(regions, "jane.doe@example.com"));
    const auto mask = emailMask(regions);
    const auto fullMask = emailMask(full(second));
    ASSERT_TRUE(mask);
    // From the line's start at the edge, at least as far as what reading
    // the frame afresh masks.
    EXPECT_LE(mask->x * kWidth, 3.0);
    if (fullMask) {
        EXPECT_GE(mask->maxX(), fullMask->maxX() - 2.0 / kWidth);
    }
}

// A line shorter at its end lost characters there, whether the picture
// held still or moved either way: the deleted character is gone from its
// reading, not kept from the old one.
TEST_F(IncrementalRecognition, ALineShortenedAtItsEndLosesTheCharacter)
{
    const cv::Mat before = renderWidePage(200, 7, "Write to kim@ledger.io");
    const cv::Mat after = renderWidePage(200, 7, "Write to kim@ledger.i");
    for (const int left : {0, 30, -30}) {
        SCOPED_TRACE(left);
        IncrementalRecognizer recognizer(engine_, {2});
        const Image first(before(cv::Rect(100, 0, kWidth, kHeight)).clone());
        recognizer.recognize(first, first, settings(), scrolledSidewaysBy(0));
        const Image second(after(cv::Rect(100 + left, 0, kWidth, kHeight)).clone());
        const auto regions = recognizer.recognize(second, second, settings(), scrolledSidewaysBy(left));
        EXPECT_TRUE(anyTextContains(regions, "ledger.i"));
        EXPECT_FALSE(anyTextContains(regions, "ledger.io"));
    }
}

} // namespace
} // namespace scrivel
