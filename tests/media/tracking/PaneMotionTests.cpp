// Text in a pane that moves otherwise than the frame's motion estimate says:
// the pane's own shift is measured between frames and the tracker follows it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tracking/PaneShifts.hpp"
#include "tracking/TrackingImage.hpp"
#include "decode/VideoFrames.hpp"
#include "tracking/VideoMaskTracker.hpp"
#include "support/ClipWriter.hpp"

using namespace scrivel;
using namespace scrivel::test;

namespace {

constexpr int viewWidth = 640;
constexpr int viewHeight = 360;
constexpr int paneWidth = viewWidth / 2;
constexpr int pageHeight = 1400;
constexpr int frameCount = 14;
const std::string secret = "ops@harbour.example";
const std::string subject = "Subject: weekly report";

cv::Rect drawLine(cv::Mat& page, const std::string& text, int baselineY)
{
    page(cv::Rect(0, baselineY - 24, paneWidth, 32)).setTo(cv::Scalar::all(255));
    const double scale = 0.6;
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, scale, 1, &baseline);
    cv::putText(page, text, {20, baselineY}, cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(20, 20, 20), 1, cv::LINE_AA);
    return {18, baselineY - size.height - 3, size.width + 4, size.height + baseline + 4};
}

// A page of text with an e-mail line and a subject line on cleared bands;
// their boxes in page pixels.
struct Page {
    cv::Mat pixels;
    cv::Rect email;
    cv::Rect subject;
};

Page pageWithEmail(unsigned seed, int emailBaseline)
{
    Page page{textPage(paneWidth, pageHeight, seed), {}, {}};
    page.email = drawLine(page.pixels, secret, emailBaseline);
    page.subject = drawLine(page.pixels, subject, emailBaseline + 64);
    return page;
}

// Two panes side by side, each scrolled by its own offset per frame.
struct TwoPaneClip {
    using Offset = std::function<int(int frame)>;

    TemporaryFile file{".mp4"};
    std::vector<double> times;
    Page left = pageWithEmail(3, 620);
    Page right = pageWithEmail(4, 520);
    Offset leftOffset;
    Offset rightOffset;

    TwoPaneClip(Offset leftScroll, Offset rightScroll, const std::function<void(cv::Mat&, int)>& overlay = {})
        : leftOffset(std::move(leftScroll)), rightOffset(std::move(rightScroll))
    {
        ClipSpec format;
        format.width = viewWidth;
        format.height = viewHeight;
        format.frameCount = frameCount;
        format.frameRate = 30;
        writeClip(file.path, format, [&](int i) { return frame(i, overlay); });
        VideoFrames frames(file.path);
        while (auto decoded = frames.next())
            times.push_back(decoded->first);
    }

    cv::Mat frame(int i, const std::function<void(cv::Mat&, int)>& overlay) const
    {
        cv::Mat view(viewHeight, viewWidth, CV_8UC3);
        scrolledView(left.pixels, {paneWidth, viewHeight}, 0, leftOffset(i)).copyTo(view(cv::Rect(0, 0, paneWidth, viewHeight)));
        scrolledView(right.pixels, {paneWidth, viewHeight}, 0, rightOffset(i))
            .copyTo(view(cv::Rect(paneWidth, 0, paneWidth, viewHeight)));
        cv::line(view, {paneWidth, 0}, {paneWidth, viewHeight}, cv::Scalar(120, 120, 120), 2);
        if (overlay)
            overlay(view, i);
        return view;
    }

    // The right pane's e-mail line in frame i, normalised.
    NormalizedRect rightEmail(int i) const { return inRightPane(right.email, i); }

    NormalizedRect inRightPane(const cv::Rect& r, int i) const
    {
        return {static_cast<double>(paneWidth + r.x) / viewWidth, static_cast<double>(r.y - rightOffset(i)) / viewHeight,
                static_cast<double>(r.width) / viewWidth, static_cast<double>(r.height) / viewHeight};
    }

    // The motion registration reports: the left pane's scroll.
    std::vector<std::optional<MotionTransform>> leftPaneMotions() const
    {
        std::vector<std::optional<MotionTransform>> motions;
        for (int i = 0; i < frameCount; ++i)
            motions.emplace_back(MotionTransform(1, 0, -static_cast<double>(leftOffset(i) - leftOffset(0)) / viewHeight));
        return motions;
    }

    // Recognition read the right pane's e-mail and the subject below it
    // only in the given frames.
    std::vector<DetectionSample> readRightEmailOn(std::initializer_list<int> frames) const
    {
        std::vector<DetectionSample> samples;
        for (const double time : times)
            samples.push_back({time, 0, {}});
        for (const int f : frames) {
            DetectedRegion email;
            email.rect = rightEmail(f);
            email.confidence = 1;
            email.text = secret;
            email.selections = {{{0, 0, 1, 1}, RedactionKind::email, secret}};
            DetectedRegion plain;
            plain.rect = inRightPane(right.subject, f);
            plain.confidence = 1;
            plain.text = subject;
            samples[static_cast<std::size_t>(f)].regions = {email, plain};
        }
        return samples;
    }
};

// Every frame has a mask over the right pane's e-mail, within two pixels.
void expectRightEmailMaskedThroughout(const TwoPaneClip& clip, const std::vector<DetectionSample>& output)
{
    ASSERT_EQ(output.size(), static_cast<std::size_t>(frameCount));
    for (int f = 0; f < frameCount; ++f) {
        SCOPED_TRACE(f);
        const NormalizedRect truth = clip.rightEmail(f);
        const auto& regions = output[static_cast<std::size_t>(f)].regions;
        const auto mask = std::find_if(regions.begin(), regions.end(), [&](const DetectedRegion& region) {
            return region.text == secret && std::abs(region.rect.y - truth.y) * viewHeight <= 2.0
                && std::abs(region.rect.x - truth.x) * viewWidth <= 2.0;
        });
        EXPECT_NE(mask, regions.end()) << "the e-mail at y " << truth.y * viewHeight << " is not masked";
    }
}

TEST(PaneShifts, measuresEachPanesOwnShift)
{
    const TwoPaneClip clip([](int i) { return 100 + 9 * i; }, [](int i) { return 400 - 7 * i; });
    const auto image = [&](int i) {
        return *TrackingImage::make(Image(clip.frame(i, {})), 640);
    };
    const TrackingImage before = image(3);
    const TrackingImage after = image(4);
    const PaneShifts shifts(before, after);
    const auto left = shifts.around({0.1, 0.5, 0.2, 0.05});
    const auto right = shifts.around({0.6, 0.5, 0.2, 0.05});
    ASSERT_TRUE(left && right);
    EXPECT_NEAR(left->dx * viewWidth, 0, 0.5);
    EXPECT_NEAR(left->dy * viewHeight, -9, 0.5) << "the left pane's text moves up";
    EXPECT_NEAR(right->dx * viewWidth, 0, 0.5);
    EXPECT_NEAR(right->dy * viewHeight, 7, 0.5) << "the right pane's text moves down";

    const PaneShifts still(before, before);
    ASSERT_TRUE(still.around({0.6, 0.5, 0.2, 0.05}));
    EXPECT_EQ(*still.around({0.6, 0.5, 0.2, 0.05}), PaneShifts::Shift{});

    // A flat area says nothing about how it moved.
    const Image blank(cv::Mat(viewHeight, viewWidth, CV_8UC3, cv::Scalar::all(255)));
    const TrackingImage flat = *TrackingImage::make(blank, 640);
    EXPECT_FALSE(PaneShifts(flat, flat).around({0.4, 0.4, 0.2, 0.05}));
}

TEST(PaneMotion, twoPanesScrollingInOppositeDirectionsKeepTheirMasks)
{
    // Apart by more than a line height each frame: the frame's motion alone
    // loses the right pane's lines.
    const TwoPaneClip clip([](int i) { return 100 + 20 * i; }, [](int i) { return 420 - 12 * i; });
    const auto output = VideoMaskTracker().track(clip.file.path.string(), clip.readRightEmailOn({0, 1, 2}),
                                                 clip.leftPaneMotions(), {}, {});
    expectRightEmailMaskedThroughout(clip, output);
}

TEST(PaneMotion, aStillPaneBesideAScrollingListKeepsItsMasks)
{
    const TwoPaneClip clip([](int i) { return 100 + 32 * i; }, [](int) { return 420; });
    const auto output = VideoMaskTracker().track(clip.file.path.string(), clip.readRightEmailOn({0, 1, 2}),
                                                 clip.leftPaneMotions(), {}, {});
    expectRightEmailMaskedThroughout(clip, output);
}

TEST(PaneMotion, aPaneThatStartsToScrollOnItsOwnKeepsItsMasks)
{
    // Still at first (read there), then flung: a step of 40 pixels a frame,
    // slowing down, while the rest of the screen stands still.
    const auto fling = [](int i) {
        int offset = 420;
        for (int k = 5; k <= i; ++k)
            offset -= std::max(40 - 5 * (k - 5), 2);
        return offset;
    };
    const TwoPaneClip clip([](int) { return 100; }, fling);
    const auto output = VideoMaskTracker().track(clip.file.path.string(), clip.readRightEmailOn({0, 1, 2, 3}),
                                                 clip.leftPaneMotions(), {}, {});
    expectRightEmailMaskedThroughout(clip, output);
}

TEST(PaneMotion, aPopupOverScrollingTextLeavesTheRestOfTheLineMasked)
{
    // A menu opens over the left part of the right pane's e-mail while that
    // pane scrolls against the frame's motion.
    const auto popup = [](cv::Mat& view, int i) {
        if (i >= 5 && i <= 9)
            cv::rectangle(view, cv::Rect(paneWidth + 10, 0, 70, viewHeight), cv::Scalar(235, 235, 235), cv::FILLED);
    };
    const TwoPaneClip clip([](int i) { return 100 + 20 * i; }, [](int i) { return 420 - 12 * i; }, popup);
    const auto output = VideoMaskTracker().track(clip.file.path.string(), clip.readRightEmailOn({0, 1, 2, 3}),
                                                 clip.leftPaneMotions(), {}, {});
    expectRightEmailMaskedThroughout(clip, output);
}

TEST(PaneMotion, aFrameWhereEverythingMovesTogetherIsTrackedByItsMotion)
{
    // Both panes scroll alike: the frame's motion describes the whole picture.
    const TwoPaneClip clip([](int i) { return 100 + 6 * i; }, [](int i) { return 420 + 6 * i; });
    const auto output = VideoMaskTracker().track(clip.file.path.string(), clip.readRightEmailOn({0, 1, 2}),
                                                 clip.leftPaneMotions(), {}, {});
    expectRightEmailMaskedThroughout(clip, output);
}

} // namespace
