#include <gtest/gtest.h>

#include "motion/SceneBoundaryDetector.hpp"
#include "support/ClipWriter.hpp"

using namespace scrivel;
using namespace scrivel::test;

namespace {

const cv::Size thumbSize{64, 36}; // frames of this size are their own thumbnail

// A 64 × 36 frame: grey `base` with the first `changedPixels` pixels (row-major)
// raised by `delta` on every channel and the rest by `restDelta`.
Image steppedFrame(int changedPixels, int delta, int restDelta = 0, int base = 0)
{
    cv::Mat frame(thumbSize, CV_8UC3, cv::Scalar::all(base + restDelta));
    for (int i = 0; i < changedPixels; ++i)
        frame.at<cv::Vec3b>(i / 64, i % 64) = cv::Vec3b::all(static_cast<uchar>(base + delta));
    return Image(frame);
}

struct BoundaryCase {
    const char* name;
    Image next;
    bool boundary;
};

TEST(SceneBoundaryDetector, ThresholdsAreStrictOnMeanAndChangedShare)
{
    const Image black = steppedFrame(0, 0);
    const BoundaryCase cases[] = {
        // 1,383 of 2,304 pixels black -> white: share 0.6003, mean 0.6003.
        {"just over 60 % changed", steppedFrame(1383, 255), true},
        // 1,382 pixels: share 0.5998.
        {"just under 60 % changed", steppedFrame(1382, 255), false},
        // Every pixel by 47 per channel (d = 141): mean 0.1843, share 1.
        {"mean just over 0.18", steppedFrame(0, 0, 47), true},
        // Every pixel by 45 per channel (d = 135): mean 0.1765, share 1.
        {"mean just under 0.18", steppedFrame(0, 0, 45), false},
        // Half white, half by d = 93: changed share 1.
        {"d of 93 counts as changed", steppedFrame(1152, 255, 31), true},
        // Half white, half by d = 90: only half counts as changed.
        {"d of 90 does not count", steppedFrame(1152, 255, 30), false},
        {"black to white", steppedFrame(0, 0, 255), true},
        {"identical", steppedFrame(0, 0), false},
    };
    for (const BoundaryCase& c : cases) {
        SCOPED_TRACE(c.name);
        SceneBoundaryDetector detector;
        EXPECT_EQ(detector.observe(black), 0);
        EXPECT_EQ(detector.observe(c.next), c.boundary ? 1 : 0);
    }
}

TEST(SceneBoundaryDetector, DifferenceIsMeasuredOnRgbWithAlphaIgnored)
{
    const auto a = SceneBoundaryDetector::thumbnail(Image(flatFrame({640, 360}, {10, 20, 30})));
    const auto b = SceneBoundaryDetector::thumbnail(Image(flatFrame({640, 360}, {10, 20, 230})));
    EXPECT_EQ(a[0], 30); // red first
    EXPECT_EQ(a[2], 10);
    EXPECT_EQ(a[3], 255);
    const auto difference = SceneBoundaryDetector::compare(a, b);
    EXPECT_NEAR(difference.meanDifference, 200.0 / 765, 1e-9);
    EXPECT_DOUBLE_EQ(difference.changedShare, 1.0);
}

TEST(SceneBoundaryDetector, CountsEachCutOnceAndIgnoresGradualAndLocalChange)
{
    SceneBoundaryDetector detector;
    const cv::Size size{320, 180};
    EXPECT_EQ(detector.observe(Image(flatFrame(size, cv::Scalar::all(0)))), 0);
    // A fade in steps of 13 per channel (d = 39) never crosses a threshold.
    for (int level = 13; level <= 247; level += 13)
        EXPECT_EQ(detector.observe(Image(flatFrame(size, cv::Scalar::all(level)))), 0) << level;
    // A change in one corner only.
    cv::Mat corner = flatFrame(size, cv::Scalar::all(247));
    corner(cv::Rect(0, 0, 80, 45)).setTo(cv::Scalar::all(0));
    EXPECT_EQ(detector.observe(Image(corner)), 0);
    // A cut to a text page, which then stays.
    const cv::Mat dark = textFrame(size, {{"Quarterly report", {10, 90}, 1.0, {255, 255, 255}, 2}}, {40, 0, 0});
    EXPECT_EQ(detector.observe(Image(dark)), 1);
    EXPECT_EQ(detector.observe(Image(dark)), 1);
    // Frames of another size and aspect ratio compare through their thumbnails.
    EXPECT_EQ(detector.observe(Image(flatFrame({50, 200}, cv::Scalar::all(255)))), 2);
    EXPECT_EQ(detector.observe(Image(flatFrame({1000, 30}, cv::Scalar::all(255)))), 2);
}

} // namespace
