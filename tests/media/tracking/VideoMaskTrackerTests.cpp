#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "ScrivelCore/Errors.hpp"
#include "decode/VideoFrames.hpp"
#include "tracking/VideoMaskTracker.hpp"
#include "support/ClipWriter.hpp"

using namespace scrivel;
using namespace scrivel::test;

namespace {

using Motions = std::vector<std::optional<MotionTransform>>;

constexpr int viewWidth = 320;
constexpr int viewHeight = 240;
constexpr int frameCount = 12;
constexpr int scrollPixelsPerFrame = 8;

// A page scrolled up by a known amount each frame, with two lines whose
// page rectangles (pixels) are known.
struct ScrollingClip {
    TemporaryFile file{".mp4"};
    std::vector<double> times;
    cv::Rect email;
    cv::Rect phone;

    ScrollingClip()
    {
        const std::vector<TextItem> items = {{"user@example.com", {30, 190}, 0.7, {0, 0, 0}, 2},
                                             {"call 555 0100", {40, 260}, 0.7, {0, 0, 0}, 2}};
        email = box(items[0]);
        phone = box(items[1]);
        const cv::Mat page = textFrame({viewWidth, 400}, items);
        ClipSpec format;
        format.width = viewWidth;
        format.height = viewHeight;
        format.frameCount = frameCount;
        format.frameRate = 10;
        writeClip(file.path, format, [&](int i) {
            return scrolledView(page, {viewWidth, viewHeight}, 0, i * scrollPixelsPerFrame);
        });
        VideoFrames frames(file.path);
        while (auto frame = frames.next())
            times.push_back(frame->first);
    }

    static cv::Rect box(const TextItem& item)
    {
        int baseline = 0;
        const cv::Size size = cv::getTextSize(item.text, cv::FONT_HERSHEY_SIMPLEX, item.fontScale, item.thickness, &baseline);
        return {item.origin.x - 2, item.origin.y - size.height - 3, size.width + 4, size.height + baseline + 4};
    }

    // Where a page rectangle lies in frame `index`, normalised.
    static NormalizedRect inFrame(const cv::Rect& page, int index)
    {
        return {static_cast<double>(page.x) / viewWidth,
                static_cast<double>(page.y - index * scrollPixelsPerFrame) / viewHeight,
                static_cast<double>(page.width) / viewWidth, static_cast<double>(page.height) / viewHeight};
    }

    static MotionTransform scroll(int index, double extraPixels = 0)
    {
        return {1, 0, -(index * scrollPixelsPerFrame + extraPixels) / viewHeight};
    }

    std::vector<DetectionSample> emptySamples() const
    {
        std::vector<DetectionSample> samples;
        for (const double time : times)
            samples.push_back({time, 0, {}});
        return samples;
    }

    static DetectedRegion region(const std::string& text, const NormalizedRect& rect, RedactionKind kind)
    {
        DetectedRegion region;
        region.rect = rect;
        region.confidence = 1;
        region.text = text;
        region.selections = {{{0, 0, 1, 1}, kind, text}};
        return region;
    }
};

const DetectedRegion* withText(const DetectionSample& sample, const std::string& text)
{
    const auto found = std::find_if(sample.regions.begin(), sample.regions.end(),
        [&](const DetectedRegion& region) { return region.text == text; });
    return found == sample.regions.end() ? nullptr : &*found;
}

class VideoMaskTrackerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { clip = new ScrollingClip(); }
    static void TearDownTestSuite()
    {
        delete clip;
        clip = nullptr;
    }

    void SetUp() override
    {
        ASSERT_EQ(clip->times.size(), static_cast<std::size_t>(frameCount));
        samples = clip->emptySamples();
        for (int i = 0; i < frameCount; ++i)
            motions.push_back(ScrollingClip::scroll(i));
    }

    void recognizeEmailOn(std::initializer_list<int> frames)
    {
        for (const int f : frames)
            samples[static_cast<std::size_t>(f)].regions.push_back(
                ScrollingClip::region("user@example.com", ScrollingClip::inFrame(clip->email, f), RedactionKind::email));
    }

    std::vector<DetectionSample> track(const ScanProgressCallback& progress = {}, std::stop_token stop = {})
    {
        return VideoMaskTracker().track(clip->file.path.string(), samples, motions, progress, stop);
    }

    static ScrollingClip* clip;
    std::vector<DetectionSample> samples;
    Motions motions;
};

ScrollingClip* VideoMaskTrackerTest::clip = nullptr;

TEST_F(VideoMaskTrackerTest, aScrolledLineKeepsItsMaskWhereRecognitionMissedIt)
{
    recognizeEmailOn({0, 1, 2, 3, 9});
    // Registration a few pixels short on frames nobody recognized: the
    // appearance match must find the line where it really is.
    for (const int f : {5, 6, 7})
        motions[static_cast<std::size_t>(f)] = ScrollingClip::scroll(f, -3);

    const std::vector<DetectionSample> output = track();
    ASSERT_EQ(output.size(), samples.size());
    for (int f = 0; f < frameCount; ++f) {
        SCOPED_TRACE(f);
        const DetectedRegion* mask = withText(output[static_cast<std::size_t>(f)], "user@example.com");
        ASSERT_NE(mask, nullptr);
        const NormalizedRect truth = ScrollingClip::inFrame(clip->email, f);
        EXPECT_NEAR(mask->rect.x * viewWidth, truth.x * viewWidth, 1.0);
        EXPECT_NEAR(mask->rect.y * viewHeight, truth.y * viewHeight, 1.0);
        EXPECT_NEAR(mask->rect.width, truth.width, 1e-9);
        EXPECT_EQ(mask->trackID, 1);
        EXPECT_EQ(mask->backgroundColor, 0xFFFFFFu);
        ASSERT_EQ(mask->selections.size(), 1u);
        EXPECT_EQ(mask->selections[0].kind, RedactionKind::email);
    }
}

// A still screen decodes to identical frames, which share one tracking image;
// the first frame that differs must be matched on its own pixels.
TEST(VideoMaskTrackerStillStretch, aLineStillAndThenScrolledKeepsItsMaskOnEveryFrame)
{
    const std::vector<int> scrolled = {0, 0, 0, 0, 0, 8, 16, 24, 24, 24, 32, 40};
    const TextItem email{"user@example.com", {30, 150}, 0.7, {0, 0, 0}, 2};
    const cv::Rect line = ScrollingClip::box(email);
    const cv::Mat page = textFrame({viewWidth, 400}, {email});
    TemporaryFile file{".mp4"};
    ClipSpec format;
    format.width = viewWidth;
    format.height = viewHeight;
    format.frameCount = static_cast<int>(scrolled.size());
    format.frameRate = 10;
    writeClip(file.path, format, [&](int i) { return scrolledView(page, {viewWidth, viewHeight}, 0, scrolled[i]); });

    std::vector<Image> decoded;
    std::vector<DetectionSample> samples;
    Motions motions;
    VideoFrames frames(file.path);
    while (auto frame = frames.next()) {
        const int f = static_cast<int>(samples.size());
        const NormalizedRect place{static_cast<double>(line.x) / viewWidth,
                                   static_cast<double>(line.y - scrolled[f]) / viewHeight,
                                   static_cast<double>(line.width) / viewWidth,
                                   static_cast<double>(line.height) / viewHeight};
        samples.push_back({frame->first, 0, {}});
        // Read while still and twice late in the scroll; registration a
        // few pixels short while the page moves.
        if (f <= 3 || f == 9 || f == 11)
            samples.back().regions.push_back(ScrollingClip::region(email.text, place, RedactionKind::email));
        motions.push_back(MotionTransform{1, 0, -(scrolled[f] - (f >= 5 ? 3.0 : 0.0)) / viewHeight});
        decoded.push_back(frame->second);
    }
    ASSERT_EQ(samples.size(), scrolled.size());
    ASSERT_TRUE(sameBytes(decoded[1], decoded[4])) << "the still frames decode alike";
    ASSERT_FALSE(sameBytes(decoded[4], decoded[5]));

    const std::vector<DetectionSample> output = VideoMaskTracker().track(file.path.string(), samples, motions, {}, {});
    ASSERT_EQ(output.size(), samples.size());
    for (std::size_t f = 0; f < output.size(); ++f) {
        SCOPED_TRACE(f);
        const DetectedRegion* mask = withText(output[f], email.text);
        ASSERT_NE(mask, nullptr);
        EXPECT_NEAR(mask->rect.x * viewWidth, line.x, 1.0);
        EXPECT_NEAR(mask->rect.y * viewHeight, line.y - scrolled[f], 1.0);
    }
}

TEST_F(VideoMaskTrackerTest, aLineMisreadBeforeItsSteadyRecognitionIsMaskedWhereItWasOnScreen)
{
    recognizeEmailOn({7, 8, 9, 10});
    for (int f = 0; f < 7; ++f) {
        DetectedRegion misread = ScrollingClip::region("user@examp1e", ScrollingClip::inFrame(clip->email, f), RedactionKind::email);
        misread.selections.clear();
        samples[static_cast<std::size_t>(f)].regions.push_back(misread);
    }
    const std::vector<DetectionSample> output = track();
    for (int f = 0; f < frameCount; ++f) {
        SCOPED_TRACE(f);
        const DetectedRegion* mask = withText(output[static_cast<std::size_t>(f)], "user@example.com");
        ASSERT_NE(mask, nullptr);
        const NormalizedRect truth = ScrollingClip::inFrame(clip->email, f);
        EXPECT_NEAR(mask->rect.x * viewWidth, truth.x * viewWidth, 1.0);
        EXPECT_NEAR(mask->rect.y * viewHeight, truth.y * viewHeight, 1.0);
        ASSERT_EQ(mask->maskRects().size(), 1u);
        const NormalizedRect drawn = mask->maskRects()[0];
        EXPECT_TRUE(drawn.x < truth.x && drawn.maxX() > truth.maxX() && drawn.y < truth.y)
            << "the mask reaches past the line sideways and above";
        EXPECT_GT(drawn.maxY() * viewHeight, truth.maxY() * viewHeight - 1.0);
    }
}

TEST_F(VideoMaskTrackerTest, aLineReadInOneOrTwoFramesIsMaskedThereAndNowhereElse)
{
    recognizeEmailOn({0, 1, 2});
    for (const int f : {4, 5})
        samples[static_cast<std::size_t>(f)].regions.push_back(
            ScrollingClip::region("call 555 0100", ScrollingClip::inFrame(clip->phone, f), RedactionKind::phone));
    samples[8].regions.push_back(ScrollingClip::region("x@y.io", {0.05, 0.02, 0.2, 0.05}, RedactionKind::email));
    const std::vector<DetectionSample> output = track();
    for (int f = 0; f < frameCount; ++f) {
        SCOPED_TRACE(f);
        const DetectionSample& sample = output[static_cast<std::size_t>(f)];
        EXPECT_NE(withText(sample, "user@example.com"), nullptr);
        const DetectedRegion* phone = withText(sample, "call 555 0100");
        EXPECT_EQ(phone != nullptr, f == 4 || f == 5) << "too few readings to be tracked, but masked where read";
        if (phone) {
            const NormalizedRect read = ScrollingClip::inFrame(clip->phone, f);
            EXPECT_NEAR(phone->rect.y, read.y, 1e-12);
            EXPECT_NE(phone->trackID, withText(sample, "user@example.com")->trackID);
        }
        EXPECT_EQ(withText(sample, "x@y.io") != nullptr, f == 8);
    }
    EXPECT_EQ(withText(output[4], "call 555 0100")->trackID, withText(output[5], "call 555 0100")->trackID)
        << "both readings are one track";
}

TEST_F(VideoMaskTrackerTest, oneSamplePerFrameWithItsTimeAndSceneAndItsReadingsWithoutMotion)
{
    recognizeEmailOn({0, 1, 2, 3, 4, 5, 6});
    motions[5].reset(); // recognized there, but nothing says where the page is
    motions[8].reset(); // neither read nor measured
    for (const std::size_t f : {10u, 11u})
        samples[f].sceneID = 1;

    const std::vector<DetectionSample> output = track();
    ASSERT_EQ(output.size(), samples.size());
    for (std::size_t f = 0; f < output.size(); ++f) {
        SCOPED_TRACE(f);
        EXPECT_EQ(output[f].time, samples[f].time);
        EXPECT_EQ(output[f].sceneID, samples[f].sceneID);
        const bool masked = f != 8 && samples[f].sceneID == 0;
        EXPECT_EQ(output[f].regions.size(), masked ? 1u : 0u);
    }
    const DetectedRegion& unmeasured = output[5].regions.at(0);
    EXPECT_EQ(unmeasured.rect, ScrollingClip::inFrame(clip->email, 5)) << "drawn where it was read";
    EXPECT_EQ(unmeasured.backgroundColor, 0xFFFFFFu) << "the colour around it in the frame";
    EXPECT_NE(unmeasured.trackID, 0);
}

TEST_F(VideoMaskTrackerTest, reportsEachReferenceFrameThenEveryFrameTracked)
{
    recognizeEmailOn({0, 1, 2, 3});
    std::vector<ScanProgress> reports;
    track([&](const ScanProgress& p) { reports.push_back(p); });
    const auto referenceReports = static_cast<std::size_t>(std::count_if(reports.begin(), reports.end(),
        [](const ScanProgress& p) { return p.message == "Building text references"; }));
    ASSERT_GE(referenceReports, 1u);
    ASSERT_EQ(reports.size(), referenceReports + frameCount);
    const auto k = static_cast<double>(referenceReports);
    for (std::size_t n = 1; n <= referenceReports; ++n) {
        SCOPED_TRACE(n);
        const ScanProgress& report = reports[n - 1];
        EXPECT_EQ(report.message, "Building text references");
        EXPECT_NEAR(report.progress, 0.85 + 0.03 * static_cast<double>(n) / k, 1e-12);
        EXPECT_EQ(report.processed, static_cast<std::int64_t>(n));
        EXPECT_EQ(report.total, static_cast<std::int64_t>(referenceReports));
        EXPECT_EQ(report.regions, 1);
    }
    for (int n = 1; n <= frameCount; ++n) {
        SCOPED_TRACE(n);
        const ScanProgress& report = reports[referenceReports + static_cast<std::size_t>(n - 1)];
        EXPECT_EQ(report.message, "Tracking text motion");
        EXPECT_NEAR(report.progress, 0.88 + 0.12 * n / frameCount, 1e-12);
        EXPECT_EQ(report.processed, n);
        EXPECT_EQ(report.total, frameCount);
        EXPECT_EQ(report.regions, n) << "one candidate per frame so far";
    }
}

TEST_F(VideoMaskTrackerTest, samplesThatDoNotFitTheVideoFailToDecode)
{
    recognizeEmailOn({0, 1, 2, 3});
    const auto decodeFailed = [&](const std::vector<DetectionSample>& given, const Motions& givenMotions) {
        try {
            VideoMaskTracker().track(clip->file.path.string(), given, givenMotions, {}, {});
        } catch (const VideoScanError& error) {
            return error.code() == VideoScanError::Code::decodeFailed;
        }
        return false;
    };
    auto fewer = samples;
    fewer.pop_back();
    EXPECT_TRUE(decodeFailed(fewer, Motions(motions.begin(), motions.end() - 1)));
    auto more = samples;
    more.push_back({more.back().time + 0.1, 0, {}});
    auto moreMotions = motions;
    moreMotions.push_back(ScrollingClip::scroll(frameCount));
    EXPECT_TRUE(decodeFailed(more, moreMotions));
    auto shifted = samples;
    shifted[7].time += 1e-5;
    EXPECT_TRUE(decodeFailed(shifted, motions));
}

TEST_F(VideoMaskTrackerTest, cancellationEndsEitherPass)
{
    recognizeEmailOn({0, 1, 2, 3});
    std::stop_source before;
    before.request_stop();
    EXPECT_THROW(track({}, before.get_token()), OperationCancelled);

    for (const auto& [phase, at] : {std::pair{"Building text references", 1}, std::pair{"Tracking text motion", 3}}) {
        SCOPED_TRACE(phase);
        std::stop_source during;
        int reportsAfterStop = 0;
        EXPECT_THROW(track(
                         [&, phase = std::string(phase), at = at](const ScanProgress& p) {
                             if (during.stop_requested())
                                 ++reportsAfterStop;
                             if (p.message == phase && p.processed == at)
                                 during.request_stop();
                         },
                         during.get_token()),
                     OperationCancelled);
        EXPECT_EQ(reportsAfterStop, 0);
    }
}

} // namespace
