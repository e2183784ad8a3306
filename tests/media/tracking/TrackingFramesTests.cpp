#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include <opencv2/imgproc.hpp>

#include "tracking/TrackingFrames.hpp"
#include "decode/VideoFrames.hpp"
#include "support/ClipWriter.hpp"

namespace {

using namespace scrivel;
namespace fs = std::filesystem;

// A screen-like picture: flat panels with lines of noise-free "text", and a
// marker that moves with `step`.
cv::Mat screen(int step, cv::Size size = {1280, 720})
{
    cv::Mat pixels(size, CV_8UC3, cv::Scalar(246, 244, 240));
    cv::rectangle(pixels, {0, 0, size.width / 4, size.height}, cv::Scalar(60, 50, 40), cv::FILLED);
    for (int y = 40; y < size.height - 20; y += 28)
        cv::putText(pixels, "line " + std::to_string(y * 7 + step), {size.width / 4 + 20, y}, cv::FONT_HERSHEY_SIMPLEX,
                    0.7, cv::Scalar(20, 20, 20), 1, cv::LINE_AA);
    cv::circle(pixels, {40 + 10 * step, 60}, 12, cv::Scalar(0, 0, 255), cv::FILLED);
    return pixels;
}

// The same picture with ±1 coding noise on scattered pixels.
cv::Mat withNoise(const cv::Mat& pixels, unsigned seed)
{
    cv::Mat noisy = pixels.clone();
    std::mt19937 random(seed);
    for (int i = 0; i < 2000; ++i) {
        auto& pixel = noisy.at<cv::Vec3b>(static_cast<int>(random() % static_cast<unsigned>(noisy.rows)),
                                          static_cast<int>(random() % static_cast<unsigned>(noisy.cols)));
        uchar& channel = pixel[static_cast<int>(random() % 3)];
        channel = static_cast<uchar>(std::clamp(channel + (random() % 2 ? 1 : -1), 0, 255));
    }
    return noisy;
}

void add(TrackingFrames& kept, double time, const cv::Mat& pixels, const cv::Mat* previous)
{
    const Image frame(pixels);
    const bool repeats = previous && cv::norm(pixels, *previous, cv::NORM_INF) == 0;
    kept.add(time, frame, [&] { return VideoFrames::raster(frame, TrackingFrames::dimensionPixels); }, repeats);
}

bool sameBytes(const Image& a, const cv::Mat& b)
{
    return a.pixels.size() == b.size() && a.pixels.type() == b.type() && cv::norm(a.pixels, b, cv::NORM_INF) == 0;
}

// Frames that repeat a picture, bytewise or within coding noise, share it;
// every picture comes back exactly as scaled, whether it stayed in memory
// or went to the spill file; the file leaves nothing in its folder.
TEST(TrackingFrames, KeepsEachPictureOnceAndGivesItBackExactlyFromMemoryOrFile)
{
    const std::vector<cv::Mat> frames{screen(0), screen(0), withNoise(screen(0), 1), screen(1), screen(2),
                                      withNoise(screen(2), 2), screen(3)};
    const std::vector<std::size_t> expectedPicture{0, 0, 0, 1, 2, 2, 3};
    for (const std::size_t budget : {TrackingFrames::defaultMemoryBudgetBytes, std::size_t{0}, std::size_t{30000}}) {
        SCOPED_TRACE(budget);
        test::TemporaryFolder folder;
        TrackingFrames kept(budget, folder.path);
        for (std::size_t i = 0; i < frames.size(); ++i)
            add(kept, 0.1 * static_cast<double>(i), frames[i], i > 0 ? &frames[i - 1] : nullptr);

        EXPECT_TRUE(fs::is_empty(folder.path)) << "the spill file is unlinked while in use";
        ASSERT_EQ(kept.frameCount(), frames.size());
        EXPECT_EQ(kept.pictureCount(), 4u);
        EXPECT_EQ(kept.frameSize(), frames[0].size());
        for (std::size_t i = 0; i < frames.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(kept.pictureOf(i), expectedPicture[i]);
            EXPECT_DOUBLE_EQ(kept.timeOf(i), 0.1 * static_cast<double>(i));
        }
        for (const std::size_t i : {0u, 3u, 4u, 6u}) {
            const Image scaled = VideoFrames::raster(Image(frames[i]), TrackingFrames::dimensionPixels);
            EXPECT_TRUE(sameBytes(kept.picture(kept.pictureOf(i)), scaled.pixels)) << "frame " << i;
        }
        if (budget == 0) {
            EXPECT_EQ(kept.bytesInMemory(), 0u);
            EXPECT_GT(kept.bytesSpilled(), 0u);
        } else if (budget == TrackingFrames::defaultMemoryBudgetBytes) {
            EXPECT_EQ(kept.bytesSpilled(), 0u);
        } else {
            EXPECT_GT(kept.bytesInMemory(), 0u);
            EXPECT_GT(kept.bytesSpilled(), 0u);
            EXPECT_LE(kept.bytesInMemory(), budget);
        }
        // Compressed: screen pictures take a fraction of their raw size.
        const std::size_t raw = 4 * static_cast<std::size_t>(960 * 540 * 3);
        EXPECT_LT(kept.bytesInMemory() + kept.bytesSpilled(), raw / 4);
    }
}

// A frame that stays within coding noise of a picture's own frame keeps
// sharing it however many frames follow; a small real change (one glyph)
// makes a new picture, so the tracker never looks at stale text.
TEST(TrackingFrames, ComparesWithThePicturesOwnFrameSoChangesDoNotAddUpUnseen)
{
    TrackingFrames kept;
    const cv::Mat first = screen(0);
    add(kept, 0, first, nullptr);
    cv::Mat changed = first.clone();
    cv::putText(changed, "x", {700, 200}, cv::FONT_HERSHEY_SIMPLEX, 0.7, cv::Scalar(20, 20, 20), 1, cv::LINE_AA);
    add(kept, 0.1, withNoise(first, 3), &first);
    add(kept, 0.2, withNoise(first, 4), nullptr);
    add(kept, 0.3, changed, nullptr);
    EXPECT_EQ(kept.pictureOf(1), 0u);
    EXPECT_EQ(kept.pictureOf(2), 0u);
    EXPECT_EQ(kept.pictureOf(3), 1u);
}

// Keeping while decoding is what the tracker gets when it decodes the file
// itself: the same pictures, frame for frame.
TEST(TrackingFrames, DecodingAFileKeepsWhatTheDecodedFramesWouldGive)
{
    test::TemporaryFile clip(".mp4");
    test::ClipSpec format;
    format.width = 640;
    format.height = 360;
    format.frameCount = 12;
    format.frameRate = 30;
    test::writeClip(clip.path, format, [](int i) { return screen(i / 3, {640, 360}); });

    const TrackingFrames decoded = TrackingFrames::decode(clip.path, {}, 0);
    TrackingFrames kept;
    VideoFrames frames(clip.path);
    std::optional<Image> previous;
    while (auto frame = frames.next()) {
        const Image& image = frame->second;
        kept.add(frame->first, image, [&] { return VideoFrames::raster(image, TrackingFrames::dimensionPixels); },
                 previous && scrivel::sameBytes(image, *previous));
        previous = image;
    }
    ASSERT_EQ(decoded.frameCount(), 12u);
    ASSERT_EQ(kept.frameCount(), decoded.frameCount());
    EXPECT_EQ(kept.pictureCount(), decoded.pictureCount());
    for (std::size_t f = 0; f < kept.frameCount(); ++f) {
        SCOPED_TRACE(f);
        EXPECT_EQ(kept.pictureOf(f), decoded.pictureOf(f));
        EXPECT_DOUBLE_EQ(kept.timeOf(f), decoded.timeOf(f));
        EXPECT_TRUE(sameBytes(kept.picture(kept.pictureOf(f)), decoded.picture(decoded.pictureOf(f)).pixels));
    }
}

TEST(TrackingFrames, ASpillFolderThatCannotTakeAFileFailsWithItsName)
{
    const fs::path missing = fs::temp_directory_path() / "scrivel-no-such-folder" / "deeper";
    TrackingFrames kept(0, missing);
    const cv::Mat pixels = screen(0);
    try {
        add(kept, 0, pixels, nullptr);
        FAIL() << "no error";
    } catch (const PlatformError& error) {
        EXPECT_NE(std::string(error.what()).find(missing.string()), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("Scrivel could not"), std::string::npos) << error.what();
    }
}

} // namespace
