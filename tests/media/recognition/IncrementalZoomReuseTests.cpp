// Incremental recognition through zooms against recognizing each frame
// from scratch, on rendered screen-like frames.

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

// A zoom scales every line: each that looks as before, scaled, keeps its
// reading until the picture holds still again.
TEST_F(IncrementalRecognition, ALineKeepsItsReadingThroughAZoomUnlessItChanged)
{
    constexpr double kZoom = 1.1;
    const auto zoomed = [&](const cv::Mat& page) {
        cv::Mat larger;
        cv::resize(page, larger, {}, kZoom, kZoom, cv::INTER_LINEAR);
        return Image(larger(cv::Rect(0, 0, kWidth, kHeight)).clone());
    };
    const IncrementalRecognizer::FrameContext zoomIn{MotionTransform(kZoom, 0, 0), 0};
    const cv::Mat page = renderPage();
    TextCanvas edited(kWidth, kPageHeight, {255, 255, 255});
    page.copyTo(edited.pixels());
    const int baseline = 40 + kLineSpacing * 2; // "Call +1 303 555 0164 today": one digit changes
    edited.fill(cv::Rect(0, baseline - 24, kWidth, 30), {255, 255, 255});
    edited.draw("Call +1 303 555 0184 today", {24, baseline}, 22, Font::sans, {30, 30, 30});

    IncrementalRecognizer same(engine_, {2});
    same.recognize(view(page, 0), view(page, 0), settings(), scrolledBy(0));
    const auto linesBefore = static_cast<std::int64_t>(same.latestLines().size());
    const Image larger = zoomed(page);
    const auto regions = same.recognize(larger, larger, settings(), zoomIn);
    EXPECT_GE(same.statistics().linesResampled, linesBefore / 2);
    EXPECT_TRUE(anyTextContains(regions, "jane.doe@example.com"));
    EXPECT_TRUE(anyTextContains(regions, "0164"));

    IncrementalRecognizer changed(engine_, {2});
    changed.recognize(view(page, 0), view(page, 0), settings(), scrolledBy(0));
    const Image largerEdited = zoomed(edited.pixels());
    changed.recognize(largerEdited, largerEdited, settings(), zoomIn);
    EXPECT_GE(changed.statistics().linesResampled, linesBefore / 2);
    // A digit that looks much like the old one may pass for it while the
    // zoom goes on; once the picture holds still, every line kept by its
    // look is read again.
    const auto settled = changed.recognize(largerEdited, largerEdited, settings(), zoomIn);
    EXPECT_EQ(settled, freshlyRead(largerEdited, changed.latestLines()));
    EXPECT_TRUE(anyTextContains(settled, "0184"));
    EXPECT_FALSE(anyTextContains(settled, "0164"));
}

// A zoom starting or slowing down scales the picture by less than a pixel
// across the frame, too little for registration to tell from its noise, yet
// every line's pixels change. Lines that look as before keep their readings
// then too, and are read afresh once the picture holds still.
TEST_F(IncrementalRecognition, LinesKeepTheirReadingsThroughAZoomOfLessThanAPixel)
{
    const double zoom = 1 + 0.8 / kWidth;
    const cv::Mat page = renderPage();
    const Image before = view(page, 0);
    cv::Mat scaled;
    const cv::Mat transform = (cv::Mat_<double>(2, 3) << zoom, 0, 0, 0, zoom, 0);
    cv::warpAffine(before.pixels, scaled, transform, before.pixels.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    const Image slightlyLarger(scaled);
    const IncrementalRecognizer::FrameContext zoomIn{MotionTransform(zoom, 0, 0), 0};

    IncrementalRecognizer recognizer(engine_, {2});
    recognizer.recognize(before, before, settings(), scrolledBy(0));
    const auto linesBefore = static_cast<std::int64_t>(recognizer.latestLines().size());
    const auto readBefore = recognizer.statistics().linesRead;
    const auto regions = recognizer.recognize(slightlyLarger, slightlyLarger, settings(), zoomIn);
    EXPECT_GE(recognizer.statistics().linesResampled, linesBefore / 2);
    EXPECT_LT(recognizer.statistics().linesRead - readBefore, linesBefore / 2);
    EXPECT_TRUE(anyTextContains(regions, "jane.doe@example.com"));

    const auto resampled = recognizer.statistics().linesResampled;
    const auto readWhileMoving = recognizer.statistics().linesRead;
    const auto settled = recognizer.recognize(slightlyLarger, slightlyLarger, settings(), zoomIn);
    EXPECT_EQ(recognizer.statistics().linesResampled, resampled);
    EXPECT_GE(recognizer.statistics().linesRead - readWhileMoving, resampled / 2);
    EXPECT_EQ(settled, freshlyRead(slightlyLarger, recognizer.latestLines()));
}

// An application's zoom draws its text afresh at the larger size, sharp and
// placed to whole pixels, where the previous frame scaled is soft and off by
// fractions of a pixel. Compared as they are, one line in sixteen here kept
// its reading; softened, lines whose glyph widths round alike keep theirs
// (the others drift along the line and are read). A line whose words
// changed is read again.
TEST_F(IncrementalRecognition, TextDrawnAfreshAtTheZoomedSizeKeepsItsReadings)
{
    constexpr int kSize = 20;
    constexpr int kZoomedSize = 22;
    constexpr double kZoom = double(kZoomedSize) / kSize;
    const auto drawPage = [&](int size, const std::vector<std::string>& lines) {
        TextCanvas canvas(kWidth, kHeight, {255, 255, 255});
        const double scale = double(size) / kSize;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const auto baseline = static_cast<int>(std::lround((36 + 32 * static_cast<double>(i)) * scale));
            if (baseline + 8 < kHeight)
                canvas.draw(lines[i], {static_cast<int>(std::lround(24 * scale)), baseline}, size, Font::sans,
                            {30, 30, 30});
        }
        return canvas.image();
    };
    std::vector<std::string> lines(kPageLines.begin(), kPageLines.begin() + 16);
    const Image before = drawPage(kSize, lines);
    const Image after = drawPage(kZoomedSize, lines);
    lines[4] = "Refund sent to the supplier";
    const Image afterEdit = drawPage(kZoomedSize, lines);
    const IncrementalRecognizer::FrameContext zoomIn{MotionTransform(kZoom, 0, 0), 0};

    IncrementalRecognizer recognizer(engine_, {2});
    recognizer.recognize(before, before, settings(), scrolledBy(0));
    const auto linesBefore = static_cast<std::int64_t>(recognizer.latestLines().size());
    const auto regions = recognizer.recognize(after, after, settings(), zoomIn);
    EXPECT_GE(recognizer.statistics().linesResampled, linesBefore / 4);
    EXPECT_TRUE(anyTextContains(regions, "jane.doe@example.com"));

    IncrementalRecognizer edited(engine_, {2});
    edited.recognize(before, before, settings(), scrolledBy(0));
    const auto editedRegions = edited.recognize(afterEdit, afterEdit, settings(), zoomIn);
    std::string allText;
    for (const DetectedRegion& region : editedRegions)
        allText += region.text + "\n";
    EXPECT_EQ(allText.find("customer"), std::string::npos) << allText;
}

// Between whole-frame detections of a zoom, lines are carried by the motion
// and checked by their look, and only what the scaled picture does not
// explain is detected: here a line typed into blank space mid-zoom, which
// must be found and read as a fresh look finds it, with every carried line
// where detection puts it.
TEST_F(IncrementalRecognition, TextAppearingDuringAZoomIsFoundWithoutDetectingTheWholeFrame)
{
    TextCanvas canvas(kWidth, kHeight, {255, 255, 255});
    for (std::size_t i = 0; i < 12; ++i)
        canvas.draw(kPageLines[i], {24, 40 + kLineSpacing * static_cast<int>(i)}, 22, Font::sans, {30, 30, 30});
    const cv::Mat page = canvas.pixels().clone();
    const auto zoomedBy = [](double zoom) {
        return IncrementalRecognizer::FrameContext{MotionTransform(zoom, 0, 0), 0};
    };
    const auto zoomed = [&](double zoom) {
        cv::Mat larger;
        cv::resize(page, larger, {}, zoom, zoom, cv::INTER_LINEAR);
        return larger(cv::Rect(0, 0, kWidth, kHeight)).clone();
    };
    const Image start(page.clone());
    const Image larger(zoomed(1.04));
    TextCanvas typing(kWidth, kHeight, {255, 255, 255});
    zoomed(1.08).copyTo(typing.pixels());
    typing.draw("Wire 4417 to anna.berg@example.org", {26, 40 + kLineSpacing * 14}, 24, Font::sans, {30, 30, 30});
    const Image largerStill = typing.image();

    IncrementalRecognizer recognizer(engine_, {2});
    recognizer.recognize(start, start, settings(), zoomedBy(1));
    const auto linesBefore = static_cast<std::int64_t>(recognizer.latestLines().size());
    const auto zooming = recognizer.recognize(larger, larger, settings(), zoomedBy(1.04));
    const auto typed = recognizer.recognize(largerStill, largerStill, settings(), zoomedBy(1.08));
    const auto& stats = recognizer.statistics();
    EXPECT_EQ(stats.wholeFrameDetections, 1);
    EXPECT_EQ(stats.zoomFramesPredicted, 2);
    EXPECT_GE(stats.linesResampled, linesBefore);

    EXPECT_TRUE(anyTextContains(typed, "anna.berg@example.org"));
    EXPECT_TRUE(anyTextContains(typed, "jane.doe@example.com"));
    // Each region a fresh look finds has one here on the same place.
    for (const auto& [frame, regions] : {std::pair{larger, zooming}, std::pair{largerStill, typed}}) {
        const auto expected = full(frame);
        ASSERT_FALSE(expected.empty());
        for (const DetectedRegion& region : expected) {
            SCOPED_TRACE(region.text);
            const bool placed = std::any_of(regions.begin(), regions.end(), [&](const DetectedRegion& r) {
                const double overlap = r.rect.intersectionArea(region.rect);
                return overlap >= 0.8 * std::max(r.rect.width * r.rect.height, region.rect.width * region.rect.height);
            });
            EXPECT_TRUE(placed);
        }
    }

    // Zooming out brings in what lay beyond the frame's sides, where a line
    // may show only a sliver: the whole frame is detected.
    const Image smaller(zoomed(1.02));
    const auto zoomingOut = recognizer.recognize(smaller, smaller, settings(), zoomedBy(1.02));
    EXPECT_EQ(recognizer.statistics().wholeFrameDetections, 2);
    EXPECT_EQ(texts(zoomingOut), texts(full(smaller)));
}

// Zooming out brings in what lay beyond the frame's edge: a line the edge
// cut shows more of itself, and is read as a fresh look reads it, not kept
// with the reading of the part that showed before (half an address).
TEST_F(IncrementalRecognition, ALineTheEdgeCutIsReadAgainWhenAZoomOutBringsInMore)
{
    const cv::Mat page = pageWithAnAddress();
    const Image cut = zoomedAboutAnchor(page, 1.1);
    const Image whole = zoomedAboutAnchor(page, 1.05);

    IncrementalRecognizer recognizer(engine_, {2});
    recognizer.recognize(cut, cut, settings(), motionAboutAnchor(1.1));
    const auto zoomingOut = recognizer.recognize(whole, whole, settings(), motionAboutAnchor(1.05));
    // Lines in view in both frames still keep their readings by their look.
    EXPECT_GT(recognizer.statistics().linesResampled, 0);

    const auto expected = full(whole);
    const auto address = std::find_if(expected.begin(), expected.end(), [](const DetectedRegion& region) {
        return region.text.find("example.org") != std::string::npos;
    });
    ASSERT_NE(address, expected.end());
    EXPECT_TRUE(std::any_of(zoomingOut.begin(), zoomingOut.end(),
                            [&](const DetectedRegion& region) { return region.text == address->text; }))
        << "a fresh look reads '" << address->text << "'; here: " << ::testing::PrintToString(texts(zoomingOut));
}

// A zoom in takes the lines' first characters beyond the left edge and
// brings nothing into view: each line keeps its reading on the part still
// in view, characters beyond the edge included, so the address is masked
// as the address up to the edge. A line whose part in view changed is read.
TEST_F(IncrementalRecognition, ALineAZoomInTakesPartlyOutOfViewKeepsItsReadingThere)
{
    const cv::Mat page = pageWithAnAddress();
    const Image whole = zoomedAboutAnchor(page, 1.05);
    const Image cut = zoomedAboutAnchor(page, 1.1);
    const auto addressIn = [](const std::vector<DetectedRegion>& regions) {
        return std::find_if(regions.begin(), regions.end(), [](const DetectedRegion& region) {
            return region.text.find("example.org") != std::string::npos;
        });
    };

    IncrementalRecognizer recognizer(engine_, {2});
    const auto first = recognizer.recognize(whole, whole, settings(), motionAboutAnchor(1.05));
    const auto address = addressIn(first);
    ASSERT_NE(address, first.end());
    ASSERT_EQ(address->text.rfind("anna.berg@", 0), 0U) << address->text;
    const std::int64_t readBefore = recognizer.statistics().linesRead;
    const auto zoomingIn = recognizer.recognize(cut, cut, settings(), motionAboutAnchor(1.1));
    EXPECT_EQ(recognizer.statistics().linesRead, readBefore);
    const auto kept = addressIn(zoomingIn);
    ASSERT_NE(kept, zoomingIn.end());
    EXPECT_EQ(kept->text, address->text);
    ASSERT_FALSE(kept->selections.empty());
    ASSERT_FALSE(address->selections.empty());
    const NormalizedRect email = kept->maskRects().front();
    EXPECT_LT(email.x, 1.0 / kWidth);
    // Its end where the zoom took the end of the address read before.
    const double endBefore = address->maskRects().front().maxX() * kWidth;
    EXPECT_NEAR(email.maxX() * kWidth, kZoomAnchorX + (endBefore - kZoomAnchorX) * 1.1 / 1.05, 1.5);

    // The same zoom with a digit of the address line's part in view changed.
    TextCanvas edited(kWidth, kHeight, {255, 255, 255});
    cut.pixels.copyTo(edited.pixels());
    const cv::Rect line = rounded(kept->rect, cut.pixels.size());
    edited.fill(line, {255, 255, 255});
    edited.draw("na.berg@example.org wire 4411", {0, line.y + line.height - 6}, 24, Font::sans, {30, 30, 30});
    const Image changed(edited.pixels().clone());
    IncrementalRecognizer again(engine_, {2});
    again.recognize(whole, whole, settings(), motionAboutAnchor(1.05));
    const auto afterEdit = again.recognize(changed, changed, settings(), motionAboutAnchor(1.1));
    const auto expected = full(changed);
    const auto fresh = addressIn(expected);
    ASSERT_NE(fresh, expected.end());
    ASSERT_NE(fresh->text.find("4411"), std::string::npos) << fresh->text;
    EXPECT_TRUE(std::any_of(afterEdit.begin(), afterEdit.end(),
                            [&](const DetectedRegion& region) { return region.text == fresh->text; }))
        << "a fresh look reads '" << fresh->text << "'; here: " << ::testing::PrintToString(texts(afterEdit));
}

} // namespace
} // namespace scrivel
