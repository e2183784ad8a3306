// The line reading cache, the noise rule frames are compared by, and
// readings moved with their ink, on rendered lines.

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

TEST(LineReadingCacheKey, EqualPixelsAndSizeGiveEqualKeys)
{
    cv::Mat frame(64, 96, CV_8UC3);
    cv::randu(frame, cv::Scalar::all(0), cv::Scalar::all(256));
    cv::Mat moved(80, 128, CV_8UC3, cv::Scalar::all(7));
    frame.copyTo(moved(cv::Rect(20, 9, 96, 64)));
    const cv::Rect line(10, 12, 40, 16);
    const auto key = LineReadingCache::keyOf(frame(line));

    cv::Mat oneLevel = frame.clone();
    oneLevel.at<cv::Vec3b>(line.y + 15, line.x + 39)[2] ^= 1;
    cv::Mat flat(6, 4, CV_8UC3, cv::Scalar::all(9));
    struct Case {
        const char* what;
        cv::Mat pixels;
        bool same;
    };
    const std::vector<Case> cases{
        {"the same crop copied", frame(line).clone(), true},
        {"the same pixels moved by whole pixels", moved(line + cv::Point(20, 9)), true},
        {"one channel of the last pixel one level off", oneLevel(line), false},
        {"one column more", frame(cv::Rect(line.x, line.y, line.width + 1, line.height)), false},
        {"the crop one pixel lower", frame(line + cv::Point(0, 1)), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(LineReadingCache::keyOf(c.pixels) == key, c.same);
    }
    // Same bytes, other shape.
    EXPECT_NE(LineReadingCache::keyOf(flat), LineReadingCache::keyOf(flat.reshape(3, 4)));
}

TEST(LineReadingCacheKeep, ForgetsReadingsUnusedForTooLongAndKeepsTheNewestWhenFull)
{
    LineReadingCache cache(2, 3);
    const auto key = [](int n) { return LineReadingCache::Key{0, static_cast<std::uint64_t>(n), 1, 1}; };
    cache.insert(key(1), OcrEngine::LineReading{{"one", 0.9F}, {}, 8});
    cache.insert(key(2), std::nullopt); // read as nothing: remembered too
    cache.nextFrame();
    ASSERT_TRUE(cache.find(key(2)).has_value());
    EXPECT_FALSE(cache.find(key(2))->has_value());
    cache.nextFrame();
    cache.nextFrame();
    ASSERT_TRUE(cache.find(key(1)).has_value());
    cache.insert(key(3), std::nullopt);
    cache.nextFrame(); // three readings for two places: the least recently used goes
    EXPECT_EQ(cache.size(), 2u);
    EXPECT_FALSE(cache.find(key(2)).has_value());
    ASSERT_TRUE(cache.find(key(1)).has_value());
    EXPECT_EQ((*cache.find(key(1)))->reading.string, "one");
    EXPECT_TRUE(cache.find(key(3)).has_value());
    for (int frame = 0; frame < 3; ++frame)
        cache.nextFrame();
    EXPECT_EQ(cache.size(), 2u); // three frames unused: still kept
    cache.nextFrame();
    EXPECT_EQ(cache.size(), 0u);
}

// Crops kept for similarity: only those read, only of the same size and
// type, the most recently read first, and gone with their reading.
// Frames are compared row by row in blocks of bytes: one channel of one
// pixel beyond the noise is a change wherever it lies, in a block or in a
// row's tail, and a difference of exactly the tolerance is not.
TEST(FrameNoise, OneChannelBeyondTheNoiseAnywhereIsADifference)
{
    cv::RNG rng(11);
    for (const cv::Size size : {cv::Size(37, 5), cv::Size(700, 3)}) {
        SCOPED_TRACE(::testing::PrintToString(size));
        // Views into a wider picture: rows are not contiguous.
        cv::Mat wider(size.height, size.width + 3, CV_8UC3);
        rng.fill(wider, cv::RNG::UNIFORM, 40, 200);
        const cv::Mat frame = wider(cv::Rect({}, size));
        const int rowBytes = size.width * 3;
        for (int y = 0; y < size.height; ++y) {
            for (const int byte : {0, 63, 64, rowBytes / 2, rowBytes - 1}) {
                SCOPED_TRACE(::testing::Message() << "row " << y << " byte " << byte);
                cv::Mat changed = frame.clone();
                changed.ptr<std::uint8_t>(y)[byte] += 24;
                EXPECT_TRUE(IncrementalRecognizer::sameWithinNoise(frame, changed));
                changed.ptr<std::uint8_t>(y)[byte] += 1;
                EXPECT_FALSE(IncrementalRecognizer::sameWithinNoise(frame, changed));
                EXPECT_FALSE(IncrementalRecognizer::sameWithinNoise(changed, frame));
            }
        }
    }
}

TEST(LineReadingCacheSimilar, FindsAReadCropOfTheSameSizeThatPassesTheTest)
{
    LineReadingCache cache(8, 2);
    const auto reading = [](const char* text) { return OcrEngine::LineReading{{text, 0.9F}, {}, 8}; };
    cv::Mat older(20, 60, CV_8UC3, cv::Scalar::all(200));
    cv::Mat newer(20, 60, CV_8UC3, cv::Scalar::all(100));
    const cv::Mat narrower(20, 59, CV_8UC3, cv::Scalar::all(200));
    cache.insert(LineReadingCache::keyOf(older), reading("older"), older);
    cache.insert(LineReadingCache::keyOf(newer), reading("newer"), newer);
    cache.insert(LineReadingCache::keyOf(narrower), reading("placed"), cv::Mat()); // not read on these pixels

    int compared = 0;
    const auto anything = [&](const cv::Mat&, const cv::Mat&) {
        ++compared;
        return true;
    };
    const cv::Mat probe(20, 60, CV_8UC3, cv::Scalar::all(150));
    auto found = cache.findSimilar(probe, anything);
    ASSERT_TRUE(found && *found);
    EXPECT_EQ((*found)->reading.string, "newer");
    EXPECT_EQ(compared, 1);

    // The test decides, given the probe first and a kept crop second.
    const auto nearProbe = [](const cv::Mat& a, const cv::Mat& b) { return cv::norm(a, b, cv::NORM_INF) <= 60; };
    const cv::Mat lighter(20, 60, CV_8UC3, cv::Scalar::all(250));
    found = cache.findSimilar(lighter, nearProbe);
    ASSERT_TRUE(found && *found);
    EXPECT_EQ((*found)->reading.string, "older");
    EXPECT_FALSE(cache.findSimilar(cv::Mat(20, 60, CV_8UC3, cv::Scalar::all(20)), nearProbe));
    EXPECT_FALSE(cache.findSimilar(cv::Mat(20, 60, CV_8UC1, cv::Scalar::all(200)), anything));
    EXPECT_FALSE(cache.findSimilar(cv::Mat(20, 59, CV_8UC3, cv::Scalar::all(200)), anything));
    EXPECT_TRUE(cache.find(LineReadingCache::keyOf(narrower)).has_value());

    // A kept crop is a copy: drawing over the buffer it came from changes
    // nothing.
    older.setTo(cv::Scalar::all(0));
    EXPECT_TRUE(cache.findSimilar(lighter, nearProbe).has_value());

    // Unused for three frames, the readings go, and their crops with them.
    for (int frame = 0; frame < 3; ++frame)
        cache.nextFrame();
    EXPECT_EQ(cache.size(), 0u);
    EXPECT_FALSE(cache.findSimilar(probe, anything));
}

// A crop is another's picture moved only when the two agree where they
// overlap and whatever only one of them takes in is plain background.
TEST(FrameNoise, ACropIsTheSamePictureMovedOnlyWithPlainEdges)
{
    // "E-1024" drawn at two places of noisy white pages.
    const auto page = [](const char* text, cv::Point origin) {
        cv::Mat canvas(60, 240, CV_8UC3, cv::Scalar::all(255));
        cv::putText(canvas, text, origin, cv::FONT_HERSHEY_SIMPLEX, 0.6, cv::Scalar(40, 40, 40), 1, cv::LINE_AA);
        return withBackgroundNoise(canvas);
    };
    const cv::Mat first = page("E-1024", {20, 30});
    const cv::Mat read = first(cv::Rect(14, 12, 90, 24));
    // Three more columns on the left, one fewer on the right, a row more
    // above: where one line's detection boxes differ.
    const cv::Rect box(41, 23, 92, 25);
    const cv::Point offset(3, 1);
    const cv::Mat second = page("E-1024", {50, 42});
    const cv::Point inkOffset = OcrEngine::inkBox(second(box)).tl() - OcrEngine::inkBox(read).tl();
    ASSERT_EQ(inkOffset, offset);
    EXPECT_TRUE(IncrementalRecognizer::samePictureMoved(second(box), read, inkOffset));
    EXPECT_FALSE(IncrementalRecognizer::samePictureMoved(second(box), read, inkOffset + cv::Point(1, 0)));

    cv::Mat gridLine = second.clone();
    gridLine.col(box.x).setTo(cv::Scalar::all(215)); // pale, but beyond the noise
    EXPECT_FALSE(IncrementalRecognizer::samePictureMoved(gridLine(box), read, inkOffset));
    const cv::Mat other = page("E-1025", {50, 42});
    ASSERT_EQ(OcrEngine::inkBox(other(box)).size(), OcrEngine::inkBox(read).size());
    EXPECT_FALSE(IncrementalRecognizer::samePictureMoved(other(box), read, inkOffset));
    EXPECT_TRUE(IncrementalRecognizer::samePictureMoved(read, second(box), -inkOffset));
}

// A reading taken to a crop boxed otherwise round the same ink puts each
// character on the same pixels of the frame; a crop whose edge cuts into the
// rows read round the ink would be read at another scale and gets none.
TEST(MovedReading, CharactersStayOnTheirInkAndAnotherScaleGetsNone)
{
    // Ink 10 rows high: read with 4 rows of margin each way, 18 rows.
    const auto crop = [](int width, cv::Point inkAt) {
        cv::Mat pixels(30, width, CV_8UC3, cv::Scalar::all(250));
        pixels(cv::Rect(inkAt, cv::Size(80, 10))).setTo(cv::Scalar::all(20));
        return pixels;
    };
    const cv::Mat read = crop(120, {20, 10});
    const cv::Mat wider = crop(131, {27, 10});
    const int scaledWidth = (48 * 120 + 17) / 18;
    const OcrEngine::LineReading reading{{"ab", 0.9F}, {{53.0, 120.0, false}, {120.0, 266.0, false}}, scaledWidth};
    const cv::Size frame(1000, 500);
    const cv::Rect readBox(300, 200, 120, 30);
    const cv::Rect widerBox(293, 200, 131, 30); // the ink on the same frame pixels

    const auto moved = OcrEngine::movedReading(reading, read, wider, {7, 0});
    ASSERT_TRUE(moved.has_value());
    EXPECT_EQ(moved->reading, reading.reading);
    const OcrLine there = OcrEngine::placeLine(reading, readBox, frame);
    const OcrLine here = OcrEngine::placeLine(*moved, widerBox, frame);
    ASSERT_EQ(here.characters().size(), there.characters().size());
    for (std::size_t i = 0; i < here.characters().size(); ++i) {
        EXPECT_NEAR(here.characters()[i].left * frame.width, there.characters()[i].left * frame.width, 0.01);
        EXPECT_NEAR(here.characters()[i].right * frame.width, there.characters()[i].right * frame.width, 0.01);
    }
    // The top edge 2 rows above the ink: 2 rows of margin instead of 4.
    const cv::Mat cut = crop(120, {20, 2});
    EXPECT_FALSE(OcrEngine::readAtOneScale(read, cut, {0, -8}));
    EXPECT_FALSE(OcrEngine::movedReading(reading, read, cut, {0, -8}).has_value());
}

} // namespace
} // namespace scrivel
