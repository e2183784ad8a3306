#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "ScrivelCore/Errors.hpp"
#include "motion/FrameRegistration.hpp"
#include "decode/VideoFrames.hpp"
#include "support/ClipWriter.hpp"

using namespace scrivel;
using namespace scrivel::test;

namespace {

const cv::Size view{640, 360};

const cv::Mat& page()
{
    static const cv::Mat content = textPage(view.width, 4000, 7);
    return content;
}

Image pageAt(int offsetY, int offsetX = 0)
{
    return Image(scrolledView(page(), view, offsetX, offsetY));
}

// Expectations in working pixels, the accuracy screen content needs.
void expectMotionNear(const MotionTransform& actual, double scale, double tx, double ty, double pixels = 0.5)
{
    EXPECT_NEAR(actual.scale(), scale, pixels / (view.width / 2.0)) << "scale";
    EXPECT_NEAR(actual.tx() * view.width, tx * view.width, pixels) << "tx";
    EXPECT_NEAR(actual.ty() * view.height, ty * view.height, pixels) << "ty";
}

std::optional<FrameRegistration::Measurement> registerImages(const Image& reference, const Image& current)
{
    return FrameRegistration::registerPair(*FrameRegistration::prepare(reference), *FrameRegistration::prepare(current));
}

TEST(FrameRegistrationPair, VerticalScrollOfTenPercentIsMeasuredExactly)
{
    const auto measured = registerImages(pageAt(400), pageAt(436)); // text moves up by 36 px
    ASSERT_TRUE(measured);
    expectMotionNear(measured->motion, 1.0, 0.0, -0.1, 0.05);
    EXPECT_LT(measured->fitError, 0.25);
}

TEST(FrameRegistrationPair, DiagonalScrollAndZoomAreMeasuredWithinHalfAPixel)
{
    const auto diagonal = registerImages(pageAt(300, 0), pageAt(317, -23)); // content moves right 23, up 17
    ASSERT_TRUE(diagonal);
    expectMotionNear(diagonal->motion, 1.0, 23.0 / 640, -17.0 / 360);

    // Zoom by 1.1 about the frame centre: u -> 1.1 u - 0.05 on both axes.
    const Image reference = pageAt(900);
    const Image zoomed(zoomedView(reference.pixels, 1.1));
    const auto zoom = registerImages(reference, zoomed);
    ASSERT_TRUE(zoom);
    expectMotionNear(zoom->motion, 1.1, -0.05, -0.05);

    const auto zoomOut = registerImages(reference, Image(zoomedView(reference.pixels, 0.8)));
    ASSERT_TRUE(zoomOut);
    expectMotionNear(zoomOut->motion, 0.8, 0.1, 0.1);
}

TEST(FrameRegistrationPair, StaticFrameGivesNoMotionAndFlatOrUnrelatedFramesGiveNothing)
{
    const auto same = registerImages(pageAt(120), pageAt(120));
    ASSERT_TRUE(same);
    expectMotionNear(same->motion, 1.0, 0.0, 0.0, 0.01);
    // An expectation of motion does not outweigh a picture that clearly stands still.
    const auto expectedScroll = FrameRegistration::registerPair(
        *FrameRegistration::prepare(pageAt(120)), *FrameRegistration::prepare(pageAt(120)), MotionTransform(1, 0, -0.2));
    ASSERT_TRUE(expectedScroll);
    expectMotionNear(expectedScroll->motion, 1.0, 0.0, 0.0, 0.01);

    const Image flat(flatFrame(view, {200, 200, 200}));
    EXPECT_FALSE(registerImages(flat, pageAt(0)));
    EXPECT_FALSE(registerImages(pageAt(0), flat));
    const Image other(scrolledView(textPage(view.width, 400, 99), view, 0, 0));
    EXPECT_FALSE(registerImages(pageAt(0), Image(flatFrame(view, {0, 0, 0}))));
    const auto unrelated = registerImages(pageAt(0), other);
    EXPECT_FALSE(unrelated && FrameRegistration::distance(MotionTransform::identity(), unrelated->motion) < 1)
        << "two different pages registered as nearly the same picture";
}

// A table whose rows repeat every four rows (80 px) apart from a running
// number: one row's worth of scroll looks almost like three rows the other way.
cv::Mat repeatingTable()
{
    static const char* const names[] = {"amara.osei@clifton.co.uk", "+44 117 496 0123", "zhou.jingyi@lanting.cn", "+1 303 555 0164"};
    cv::Mat table(2000, 640, CV_8UC3, cv::Scalar::all(255));
    for (int row = 0; row * 20 < table.rows; ++row) {
        cv::line(table, {0, row * 20}, {639, row * 20}, cv::Scalar::all(200));
        cv::putText(table, names[row % 4], {8, row * 20 + 15}, cv::FONT_HERSHEY_SIMPLEX, 0.45, cv::Scalar::all(20), 1, cv::LINE_AA);
        cv::putText(table, std::to_string(1000 + row * 37), {420, row * 20 + 15}, cv::FONT_HERSHEY_SIMPLEX, 0.45,
            cv::Scalar::all(20), 1, cv::LINE_AA);
    }
    return table;
}

TEST(FrameRegistrationPair, RepeatingRowsAreAlignedByTheirDifferences)
{
    const cv::Mat table = repeatingTable();
    const Image reference(scrolledView(table, view, 0, 600));
    for (const int scroll : {20, 40, -60}) {
        SCOPED_TRACE(scroll);
        const Image current(scrolledView(table, view, 0, 600 + scroll));
        // Whatever the expectation, the running numbers decide.
        for (const double expectedTy : {0.0, -scroll / 360.0, (80.0 - scroll) / 360.0}) {
            const auto measured = FrameRegistration::registerPair(
                *FrameRegistration::prepare(reference), *FrameRegistration::prepare(current), MotionTransform(1, 0, expectedTy));
            ASSERT_TRUE(measured);
            expectMotionNear(measured->motion, 1.0, 0.0, -scroll / 360.0);
        }
    }
}

// A frame whose left part stands still while its right part scrolls by 24
// pixels: many small marks on the left, fewer large shapes on the right.
// The still part has most of the matches and neither alignment fits the
// whole picture, so the scroll is a second set of matches among the first
// one's outliers, and the expected motion picks between the two.
cv::Mat splitScreen(int scroll)
{
    cv::Mat frame(540, 960, CV_8UC3, cv::Scalar::all(255));
    cv::RNG marks(1);
    for (int i = 0; i < 100; ++i) {
        const int x = marks.uniform(10, 560), y = marks.uniform(10, 520);
        cv::rectangle(frame, cv::Rect(x, y, 5 + marks.uniform(0, 3), 5 + marks.uniform(0, 3)), cv::Scalar::all(0),
                      cv::FILLED);
    }
    cv::RNG shapes(99);
    cv::Mat column(1200, 380, CV_8UC3, cv::Scalar::all(255));
    for (int i = 0; i < 40; ++i) {
        const cv::Rect box(shapes.uniform(0, 300), shapes.uniform(0, 1150), shapes.uniform(30, 120), shapes.uniform(30, 90));
        cv::rectangle(column, box, cv::Scalar::all(150 + shapes.uniform(-10, 10)), cv::FILLED);
    }
    column(cv::Rect(0, 300 + scroll, 380, 540)).copyTo(frame(cv::Rect(580, 0, 380, 540)));
    return frame;
}

TEST(FrameRegistrationPair, APartMovingAloneIsFoundBesideTheRest)
{
    const auto reference = FrameRegistration::prepare(Image(splitScreen(0)));
    const auto current = FrameRegistration::prepare(Image(splitScreen(24)));
    for (const double ty : {0.0, -24.0 / 540}) {
        SCOPED_TRACE(ty);
        const auto measured = FrameRegistration::registerPair(*reference, *current, MotionTransform(1, 0, ty));
        ASSERT_TRUE(measured);
        expectMotionNear(measured->motion, 1.0, 0.0, ty);
    }
}

struct HomographyCase {
    const char* name;
    cv::Matx33d currentToReference;
    std::optional<cv::Vec3d> expected; // scale, tx, ty
};

TEST(FrameRegistrationPair, HomographyReducesToScaleAndTranslationWithinLimits)
{
    const int w = 640, h = 360;
    const HomographyCase cases[] = {
        {"identity", cv::Matx33d::eye(), cv::Vec3d(1, 0, 0)},
        // Image space has y up: content moving up 36 px means the reference
        // point sits 36 px lower than the current one.
        {"scroll up 10 %", cv::Matx33d(1, 0, 0, 0, 1, -36, 0, 0, 1), cv::Vec3d(1, 0, -0.1)},
        {"content right 64 px", cv::Matx33d(1, 0, -64, 0, 1, 0, 0, 0, 1), cv::Vec3d(1, 0.1, 0)},
        // Current = 1.5 × reference about the origin (lower-left corner):
        // top-left coordinates gain (1 - s) in y.
        {"zoom 1.5 about the lower left", cv::Matx33d(1 / 1.5, 0, 0, 0, 1 / 1.5, 0, 0, 0, 1), cv::Vec3d(1.5, 0, -0.5)},
        {"zoom 1.6 rejected", cv::Matx33d(1 / 1.6, 0, 0, 0, 1 / 1.6, 0, 0, 0, 1), std::nullopt},
        {"zoom 0.6 rejected", cv::Matx33d(1 / 0.6, 0, 0, 0, 1 / 0.6, 0, 0, 0, 1), std::nullopt},
        {"stretch with residual over 3 px rejected", cv::Matx33d(1, 0, 0, 0, 1.1, 0, 0, 0, 1), std::nullopt},
        {"singular", cv::Matx33d(1, 0, 0, 0, 0, 0, 0, 0, 1), std::nullopt},
    };
    for (const HomographyCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto measured = FrameRegistration::measurementFromHomography(c.currentToReference, w, h);
        ASSERT_EQ(measured.has_value(), c.expected.has_value());
        if (!measured)
            continue;
        EXPECT_NEAR(measured->motion.scale(), (*c.expected)[0], 1e-9);
        EXPECT_NEAR(measured->motion.tx(), (*c.expected)[1], 1e-9);
        EXPECT_NEAR(measured->motion.ty(), (*c.expected)[2], 1e-9);
        EXPECT_NEAR(measured->fitError, 0, 1e-9);
    }
    // A slight stretch is accepted with its residual reported: the nine
    // points' y spread of 0.8 h is fitted with a common scale.
    const auto slight = FrameRegistration::measurementFromHomography(cv::Matx33d(1, 0, 0, 0, 1.0 / 1.01, 0, 0, 0, 1), w, h);
    ASSERT_TRUE(slight);
    EXPECT_GT(slight->fitError, 0.1);
    EXPECT_LT(slight->fitError, 3.0);
}

TEST(FrameRegistration, DistanceWeighsShiftAgainstTwoAndAHalfPercentAndZoomAgainstLnPoint045)
{
    const MotionTransform id = MotionTransform::identity();
    EXPECT_NEAR(FrameRegistration::distance(id, MotionTransform(1, 0.025, 0)), 1, 1e-12);
    EXPECT_NEAR(FrameRegistration::distance(id, MotionTransform(1, 0.01, -0.05)), 2, 1e-12);
    EXPECT_NEAR(FrameRegistration::distance(id, MotionTransform(std::exp(0.09), 0, 0)), 2, 1e-12);
    // Relative to the first motion: same scale, 0.05 further right.
    EXPECT_NEAR(FrameRegistration::distance(MotionTransform(2, 0.1, 0), MotionTransform(2, 0.15, 0)), 2, 1e-12);
}

TEST(FrameRegistration, FirstFrameAndSceneChangesBeginTrackingScenesWithIdentity)
{
    FrameRegistration registration;
    auto result = registration.observe(pageAt(0), 5);
    EXPECT_EQ(result, (FrameRegistration::Result{MotionTransform::identity(), 0}));
    result = registration.observe(pageAt(20), 5);
    ASSERT_TRUE(result.motion);
    EXPECT_EQ(result.sceneID, 0);
    expectMotionNear(*result.motion, 1, 0, -20.0 / 360);
    // Registrable, but the detector said a new scene began.
    result = registration.observe(pageAt(40), 6);
    EXPECT_EQ(result, (FrameRegistration::Result{MotionTransform::identity(), 1}));
}

TEST(FrameRegistration, CancellationIsThrownOnEntryAndEmptyFramesAreConversionFailures)
{
    FrameRegistration registration;
    registration.observe(pageAt(0), 0);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(registration.observe(pageAt(10), 0, stop.get_token()), OperationCancelled);
    EXPECT_THROW(registration.observe(Image(), 0), VideoScanError);
}

TEST(FrameRegistration, NinthFailedFrameStartsANewTrackingScene)
{
    FrameRegistration registration;
    EXPECT_EQ(registration.observe(pageAt(0), 0).sceneID, 0);
    const Image flat(flatFrame(view, {255, 255, 255}));
    for (int failed = 1; failed <= 8; ++failed) {
        const auto result = registration.observe(flat, 0);
        EXPECT_FALSE(result.motion) << failed;
        EXPECT_EQ(result.sceneID, 0) << failed;
    }
    EXPECT_EQ(registration.observe(flat, 0), (FrameRegistration::Result{MotionTransform::identity(), 1}));
    EXPECT_FALSE(registration.observe(flat, 0).motion);
}

TEST(FrameRegistration, StaticPictureStaysAtIdentityAndLargeFramesAreScaledDown)
{
    FrameRegistration registration;
    const Image big(scrolledView(textPage(1920, 3000, 3), {1920, 1080}, 0, 500));
    registration.observe(big, 0);
    for (int i = 0; i < 3; ++i) {
        const auto result = registration.observe(big, 0);
        ASSERT_TRUE(result.motion);
        expectMotionNear(*result.motion, 1, 0, 0, 0.01);
    }
    const Image bigScrolled(scrolledView(textPage(1920, 3000, 3), {1920, 1080}, 0, 608)); // 10 % of 1080
    const auto scrolled = registration.observe(bigScrolled, 0);
    ASSERT_TRUE(scrolled.motion);
    EXPECT_NEAR(scrolled.motion->ty(), -0.1, 0.5 / 540);
}

TEST(FrameRegistration, LongScrollAccumulatesThroughKeyframes)
{
    FrameRegistration registration;
    registration.observe(pageAt(0), 0);
    // 40 frames of 13 px each: 520 px, more than the view's height, so the
    // chain must go through later keyframes.
    for (int i = 1; i <= 40; ++i) {
        const auto result = registration.observe(pageAt(13 * i), 0);
        ASSERT_TRUE(result.motion) << i;
        EXPECT_EQ(result.sceneID, 0);
        expectMotionNear(*result.motion, 1, 0, -13.0 * i / 360, 0.1);
    }
}

TEST(FrameRegistration, ScrollSurvivesVideoEncoding)
{
    TemporaryFile file(".mp4");
    ClipSpec format;
    format.width = view.width;
    format.height = view.height;
    format.frameCount = 6;
    format.h264Crf = 18;
    writeClip(file.path, format, [](int i) { return pageAt(36 * i).pixels; });
    VideoFrames frames(file.path);
    FrameRegistration registration;
    int index = 0;
    while (auto frame = frames.next()) {
        const auto result = registration.observe(frame->second, 0);
        ASSERT_TRUE(result.motion) << index;
        expectMotionNear(*result.motion, 1, 0, -0.1 * index);
        ++index;
    }
    EXPECT_EQ(index, 6);
}

DetectionSample sampleAt(double time, std::int64_t scene)
{
    DetectionSample sample;
    sample.time = time;
    sample.sceneID = scene;
    return sample;
}

TEST(FrameRegistration, ResolvedFillsOnlyShortGapsWithinOneScene)
{
    const MotionTransform a(1.0, 0.0, 0.0), b(1.21, 0.1, -0.2);
    using Motions = std::vector<std::optional<MotionTransform>>;

    // 0.1 s apart: the middle sample at u = 0.5 gets sqrt(1.21) = 1.1.
    auto filled = FrameRegistration::resolved(Motions{a, std::nullopt, b}, {sampleAt(0, 0), sampleAt(0.05, 0), sampleAt(0.1, 0)});
    ASSERT_TRUE(filled[1]);
    EXPECT_NEAR(filled[1]->scale(), 1.1, 1e-12);
    EXPECT_NEAR(filled[1]->tx(), 0.05, 1e-12);
    EXPECT_NEAR(filled[1]->ty(), -0.1, 1e-12);
    EXPECT_EQ(filled[0], a);
    EXPECT_EQ(filled[2], b);

    // Two missing samples at u = 0.25 and 0.75 of a 0.15 s gap.
    filled = FrameRegistration::resolved(Motions{a, std::nullopt, std::nullopt, b},
        {sampleAt(1, 2), sampleAt(1.0375, 2), sampleAt(1.1125, 2), sampleAt(1.15, 2)});
    ASSERT_TRUE(filled[1] && filled[2]);
    EXPECT_NEAR(filled[1]->scale(), std::pow(1.21, 0.25), 1e-12);
    EXPECT_NEAR(filled[2]->ty(), -0.15, 1e-12);

    const struct {
        const char* name;
        std::vector<DetectionSample> samples;
    } unfilled[] = {
        {"0.2 s apart", {sampleAt(0, 0), sampleAt(0.1, 0), sampleAt(0.2, 0)}},
        {"scene change between", {sampleAt(0, 0), sampleAt(0.05, 1), sampleAt(0.1, 0)}},
        {"scene change at the end", {sampleAt(0, 0), sampleAt(0.05, 0), sampleAt(0.1, 1)}},
        {"time going backwards", {sampleAt(0.1, 0), sampleAt(0.05, 0), sampleAt(0, 0)}},
    };
    for (const auto& c : unfilled) {
        SCOPED_TRACE(c.name);
        filled = FrameRegistration::resolved(Motions{a, std::nullopt, b}, c.samples);
        EXPECT_FALSE(filled[1]);
    }
    // Nothing before the first or after the last measurement is invented.
    filled = FrameRegistration::resolved(Motions{std::nullopt, a, std::nullopt},
        {sampleAt(0, 0), sampleAt(0.03, 0), sampleAt(0.06, 0)});
    EXPECT_FALSE(filled[0]);
    EXPECT_FALSE(filled[2]);
}

} // namespace
