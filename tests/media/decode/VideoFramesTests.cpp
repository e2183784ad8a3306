#include <algorithm>
#include <fstream>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "ScrivelCore/Errors.hpp"
#include "decode/MediaInspector.hpp"
#include "decode/VideoFrames.hpp"
#include "support/ClipWriter.hpp"

using namespace scrivel;
using namespace scrivel::test;

namespace {

// Distinct, well separated colours so a frame's index can be read back.
cv::Scalar colourFor(int index)
{
    return cv::Scalar(30 + 50 * (index % 5), 220 - 40 * (index % 4), 60 + 35 * (index % 6));
}

std::vector<std::pair<double, Image>> readAll(VideoFrames& frames)
{
    std::vector<std::pair<double, Image>> all;
    while (auto frame = frames.next())
        all.push_back(std::move(*frame));
    return all;
}

TEST(VideoFrames, ReturnsEveryFrameInPresentationOrderWithItsTime)
{
    TemporaryFile file(".mp4");
    ClipSpec format;
    format.width = 64;
    format.height = 48;
    format.frameCount = 9;
    format.frameRate = 10;
    format.maxBFrames = 2; // decode order differs from presentation order
    writeClip(file.path, format, [](int i) { return flatFrame({64, 48}, colourFor(i)); });

    VideoFrames frames(file.path);
    const auto all = readAll(frames);
    ASSERT_EQ(all.size(), 9u);
    for (int i = 0; i < 9; ++i) {
        SCOPED_TRACE(i);
        EXPECT_NEAR(all[i].first, i * 0.1, 1e-6);
        EXPECT_EQ(all[i].second.width(), 64);
        EXPECT_EQ(all[i].second.height(), 48);
        const cv::Scalar mean = cv::mean(all[i].second.pixels);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(mean[c], colourFor(i)[c], 6) << "channel " << c;
    }

    // Skipping frames keeps the count and the times, and the frames read
    // between skips are still the right ones.
    VideoFrames skipping(file.path);
    for (int i = 0; i < 9; ++i) {
        SCOPED_TRACE(i);
        if (i % 3 != 2) {
            const std::optional<double> time = skipping.skip();
            ASSERT_TRUE(time);
            EXPECT_NEAR(*time, i * 0.1, 1e-6);
            continue;
        }
        const auto frame = skipping.next();
        ASSERT_TRUE(frame);
        EXPECT_NEAR(frame->first, i * 0.1, 1e-6);
        const cv::Scalar mean = cv::mean(frame->second.pixels);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(mean[c], colourFor(i)[c], 6) << "channel " << c;
    }
    EXPECT_FALSE(skipping.skip());
    EXPECT_FALSE(skipping.next());
}

// Widths that are not a multiple of the colour converter's vector blocks
// (a portrait phone recording made upright is 1080 wide): each row must hold
// its own pixels, and the conversion must not write past the frame, which
// corrupted the heap a few frames into such a recording.
TEST(VideoFrames, WidthsOffTheVectorBlocksConvertRowByRow)
{
    for (const cv::Size size : {cv::Size(540, 960), cv::Size(202, 120), cv::Size(1080, 1920)}) {
        SCOPED_TRACE(size.width);
        TemporaryFile file(".mp4");
        ClipSpec format;
        format.width = size.width;
        format.height = size.height;
        format.frameCount = 12;
        format.h264Crf = 0;
        // Vertical stripes that shift with the frame: a row started with
        // the end of the row above would show at the left edge.
        const auto stripes = [&](int index) {
            cv::Mat frame(size, CV_8UC3);
            for (int x = 0; x < size.width; ++x)
                frame.col(x).setTo(((x + index) / 8) % 2 ? cv::Scalar(230, 230, 230) : cv::Scalar(20, 20, 20));
            frame.col(0).setTo(cv::Scalar(20, 200, 20));
            return frame;
        };
        writeClip(file.path, format, stripes);
        VideoFrames frames(file.path);
        const auto all = readAll(frames);
        ASSERT_EQ(all.size(), 12u);
        for (int i = 0; i < 12; ++i) {
            cv::Mat difference;
            cv::absdiff(all[i].second.pixels, stripes(i), difference);
            cv::Mat gray;
            cv::cvtColor(difference, gray, cv::COLOR_BGR2GRAY);
            EXPECT_LT(cv::mean(gray.colRange(0, 4))[0], 40) << "frame " << i << ": the left edge of each row";
            EXPECT_LT(cv::mean(gray)[0], 12) << "frame " << i;
            EXPECT_TRUE(all[i].second.pixels.isContinuous());
        }
    }
}

TEST(VideoFrames, EndOfTrackKeepsReturningNothing)
{
    TemporaryFile file(".mov");
    ClipSpec format;
    format.width = 32;
    format.height = 32;
    format.frameCount = 2;
    format.videoCodec = ClipVideoCodec::mpeg4;
    format.audioCodec = ClipAudioCodec::pcm;
    writeClip(file.path, format, [](int i) { return flatFrame({32, 32}, colourFor(i)); });

    VideoFrames frames(file.path);
    EXPECT_TRUE(frames.next());
    EXPECT_TRUE(frames.next());
    for (int again = 0; again < 3; ++again)
        EXPECT_FALSE(frames.next());
}

TEST(VideoFrames, CancellationThrowsBeforeAnyDecoding)
{
    TemporaryFile file(".mp4");
    ClipSpec format;
    format.width = 32;
    format.height = 32;
    format.frameCount = 3;
    writeClip(file.path, format, [](int i) { return flatFrame({32, 32}, colourFor(i)); });

    VideoFrames frames(file.path);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(frames.next(stop.get_token()), OperationCancelled);
    // Nothing was consumed by the cancelled call: the first frame still comes first.
    const auto first = frames.next();
    ASSERT_TRUE(first);
    EXPECT_DOUBLE_EQ(first->first, 0.0);
    EXPECT_NEAR(cv::mean(first->second.pixels)[0], colourFor(0)[0], 6);
}

struct OrientationCase {
    const char* name;
    int rotation;
    cv::Size upright;
    cv::Point markerCorner; // where the stored top-left marker ends up (0 or 1 per axis)
};

class FrameOrientation : public ::testing::TestWithParam<OrientationCase> {};

TEST_P(FrameOrientation, FramesComeUprightWithTheMarkerWhereTheRotationPutsIt)
{
    const OrientationCase& c = GetParam();
    TemporaryFile file(".mp4");
    ClipSpec format;
    format.width = 64;
    format.height = 32;
    format.frameCount = 1;
    format.rotationDegrees = c.rotation;
    writeClip(file.path, format, [](int) {
        cv::Mat frame = flatFrame({64, 32}, {0, 0, 0});
        frame(cv::Rect(0, 0, 16, 16)).setTo(cv::Scalar(255, 255, 255));
        return frame;
    });

    VideoFrames frames(file.path);
    const auto frame = frames.next();
    ASSERT_TRUE(frame);
    const cv::Mat& upright = frame->second.pixels;
    ASSERT_EQ(upright.size(), c.upright);
    const int x = c.markerCorner.x ? upright.cols - 8 : 7;
    const int y = c.markerCorner.y ? upright.rows - 8 : 7;
    EXPECT_GT(upright.at<cv::Vec3b>(y, x)[1], 200);
    EXPECT_LT(upright.at<cv::Vec3b>(upright.rows - 1 - y, upright.cols - 1 - x)[1], 40);
    const VideoInfo info = MediaInspector::inspect(file.path);
    EXPECT_EQ(cv::Size(static_cast<int>(info.width), static_cast<int>(info.height)), c.upright);
}

INSTANTIATE_TEST_SUITE_P(Rotations, FrameOrientation,
    ::testing::Values(OrientationCase{"none", 0, {64, 32}, {0, 0}},
        OrientationCase{"clockwise90", 90, {32, 64}, {1, 0}},
        OrientationCase{"half", 180, {64, 32}, {1, 1}},
        OrientationCase{"clockwise270", 270, {32, 64}, {0, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VideoFrames, TruncatedFileFailsWithTheDecodeMessage)
{
    TemporaryFile file(".mp4");
    ClipSpec format;
    format.width = 128;
    format.height = 96;
    format.frameCount = 30;
    format.indexFirst = true;
    const cv::Mat page = textPage(128, 600);
    writeClip(file.path, format, [&](int i) { return scrolledView(page, {128, 96}, 0, 12 * i); });
    std::filesystem::resize_file(file.path, std::filesystem::file_size(file.path) * 6 / 10);

    VideoFrames frames(file.path);
    try {
        while (frames.next()) {
        }
        FAIL() << "a truncated file read to its end";
    } catch (const VideoScanError& error) {
        EXPECT_EQ(error.code(), VideoScanError::Code::decodeFailed);
        EXPECT_STREQ(error.what(), "Scrivel could not decode every video frame.");
    }
    EXPECT_FALSE(frames.next()); // a failed reader stays at its end
}

TEST(VideoFrames, NonVideoFilesCannotBeOpenedForReading)
{
    TemporaryFile text(".mp4");
    std::ofstream(text.path) << "not a video";
    EXPECT_THROW(VideoFrames{text.path}, VideoScanError);
    TemporaryFile audio(".mp4");
    writeAudioOnlyClip(audio.path, 0.3);
    EXPECT_THROW(VideoFrames{audio.path}, VideoScanError);
}

struct RasterCase {
    cv::Size input;
    std::optional<double> maximum;
    cv::Size expected;
};

TEST(VideoFramesRaster, SizeRuleNeverEnlargesAndRoundsHalvesAwayFromZero)
{
    const RasterCase cases[] = {
        {{2560, 1440}, 1280, {1280, 720}},
        {{640, 360}, 1280, {640, 360}},
        {{333, 111}, std::nullopt, {333, 111}},
        {{1440, 2560}, 960, {540, 960}},
        {{5, 3}, 2.5, {3, 2}},       // 2.5 -> 3 and 1.5 -> 2
        {{1001, 500}, 500, {500, 250}}, // 249.75 -> 250
        {{4000, 2}, 100, {100, 1}},  // 0.05 -> at least 1
    };
    for (const RasterCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.input) + " max " + (c.maximum ? std::to_string(*c.maximum) : "none"));
        EXPECT_EQ(VideoFrames::rasterSize(c.input.width, c.input.height, c.maximum), c.expected);
        const Image image(cv::Mat(c.input, CV_8UC3, cv::Scalar(1, 2, 3)));
        EXPECT_EQ(VideoFrames::raster(image, c.maximum).pixels.size(), c.expected);
    }
}

TEST(VideoFramesRaster, ShrinkingAveragesAreasAndKeepingTheSizeSharesPixels)
{
    cv::Mat checker(6, 6, CV_8UC3);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x)
            checker.at<cv::Vec3b>(y, x) = (x + y) % 2 ? cv::Vec3b(255, 255, 255) : cv::Vec3b(0, 0, 0);
    const Image small = VideoFrames::raster(Image(checker), 2);
    ASSERT_EQ(small.pixels.size(), cv::Size(2, 2));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) {
            // Each output pixel covers 3 × 3 inputs: 4 or 5 of 9 are white.
            const int value = small.pixels.at<cv::Vec3b>(y, x)[0];
            EXPECT_GE(value, 110);
            EXPECT_LE(value, 145);
        }

    const Image same = VideoFrames::raster(Image(checker), 100);
    EXPECT_EQ(same.pixels.data, checker.data);
    EXPECT_THROW(VideoFrames::raster(Image(), 10), VideoScanError);
}

// A 1080p frame goes to 1280 pixels by its own three-to-two averaging: it
// must give OpenCV's area resize exactly, rounding included, or detection
// would see other pixels than the ones the full-frame path was tuned on.
TEST(VideoFramesRaster, ThreeToTwoAndFourToThreeShrinksEqualOpenCvAreaResize)
{
    struct Ratio {
        int from, to;
        std::vector<cv::Size> sizes;
    };
    const Ratio ratios[] = {{3, 2, {{1920, 1080}, {9, 6}, {3, 3}, {600, 33}}},
                            {4, 3, {{1280, 720}, {8, 4}, {4, 4}, {800, 44}}}};
    cv::RNG rng(7);
    for (const Ratio& ratio : ratios) {
        for (const cv::Size size : ratio.sizes) {
            SCOPED_TRACE(::testing::PrintToString(size));
            // A view into a wider picture: rows are not contiguous.
            cv::Mat wider(size.height, size.width + 5, CV_8UC3);
            rng.fill(wider, cv::RNG::UNIFORM, 0, 256);
            const cv::Mat frame = wider(cv::Rect({}, size));
            const double longSide = std::max(size.width, size.height) * ratio.to / static_cast<double>(ratio.from);
            const Image small = VideoFrames::raster(Image(frame), longSide);
            cv::Mat expected;
            cv::resize(frame, expected, {size.width / ratio.from * ratio.to, size.height / ratio.from * ratio.to}, 0, 0,
                       cv::INTER_AREA);
            ASSERT_EQ(small.pixels.size(), expected.size());
            EXPECT_EQ(cv::norm(small.pixels, expected, cv::NORM_INF), 0);
        }
    }
}

} // namespace
