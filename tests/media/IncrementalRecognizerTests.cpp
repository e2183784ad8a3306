// Incremental recognition against recognizing each frame from scratch, on
// rendered screen-like frames.

#include "ScrivelMedia/IncrementalRecognizer.hpp"

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
#include "ScrivelMedia/OcrEngine.hpp"
#include "ScrivelMedia/TextRecognizer.hpp"
#include "support/OcrSuite.hpp"
#include "support/RenderedText.hpp"

namespace scrivel {
namespace {

using testing::Font;
using testing::TextCanvas;

// Sizes that are multiples of 32, so that detection sees the frame unscaled.
constexpr int kWidth = 640;
constexpr int kHeight = 640;
constexpr int kPageHeight = 900;
constexpr int kLineSpacing = 36;

const std::vector<std::string> kPageLines{
    "Weekly review notes",        "Contact: jane.doe@example.com", "Call +1 303 555 0164 today",
    "Budget approved for March",  "Refund sent to the customer",   "Ticket 48213 opened by Sofia",
    "Escalation queue is empty",  "Reply to nadia@deskline.app",   "Release notes for version 4",
    "Meeting moved to Thursday",  "Invoice 7721 paid in full",     "Security review next week",
    "Roadmap draft shared today", "Lunch order for the team",      "Server logs rotated nightly",
    "Backups verified on Monday", "Design review at 3 pm",         "Customer survey closes soon",
    "Holiday schedule posted",    "Support hours extended",        "Training video uploaded",
    "Printer on floor two fixed", "New hires start on Monday",     "Quarterly report is due",
};

cv::Mat renderPage()
{
    TextCanvas canvas(kWidth, kPageHeight, {255, 255, 255});
    for (std::size_t i = 0; i < kPageLines.size(); ++i)
        canvas.draw(kPageLines[i], {24, 40 + kLineSpacing * static_cast<int>(i)}, 22, Font::sans, {30, 30, 30});
    return canvas.pixels().clone();
}

Image view(const cv::Mat& page, int top) { return Image(page(cv::Rect(0, top, kWidth, kHeight)).clone()); }

ScanSettings settings()
{
    ScanSettings s;
    s.confidence = 0.3F;
    s.blurEmails = s.blurPhones = s.blurHan = true;
    return s;
}

// A pure scroll as the registration reports it: content moved `top` pixels
// up since the scene began.
IncrementalRecognizer::FrameContext scrolledBy(int top)
{
    return {MotionTransform(1, 0, -static_cast<double>(top) / kHeight), 0};
}

// The texts of the lines clear of the frame's top and bottom edges, without
// spaces. Where detection looked (a window, the whole frame) may move a box
// by a pixel, which can change the spaces the model reads, and lines cut by
// the frame's edge split differently.
std::multiset<std::string> texts(const std::vector<DetectedRegion>& regions)
{
    std::multiset<std::string> out;
    for (const auto& region : regions) {
        if (region.rect.y < 0.03 || region.rect.maxY() > 0.97)
            continue;
        std::string text = region.text;
        std::erase(text, ' ');
        out.insert(text);
    }
    return out;
}

// White background pixels a few levels off, in a pattern that differs from
// place to place: equal text drawn twice is no longer byte for byte equal,
// but the same picture but for coding noise.
cv::Mat withBackgroundNoise(const cv::Mat& frame)
{
    cv::Mat noisy = frame.clone();
    noisy.forEach<cv::Vec3b>([](cv::Vec3b& pixel, const int* at) {
        if (pixel == cv::Vec3b(255, 255, 255))
            pixel = cv::Vec3b::all(static_cast<std::uint8_t>(255 - (7 * at[0] + 3 * at[1]) % 5));
    });
    return noisy;
}

// `frame` under a popup filling `area` with `colour`, its text "Saved to
// ann@corp.io" on `baseline`.
cv::Mat withPopup(const Image& frame, cv::Rect area, cv::Scalar colour, cv::Point baseline)
{
    TextCanvas popup(kWidth, kHeight, {255, 255, 255});
    frame.pixels.copyTo(popup.pixels());
    popup.fill(area, colour);
    popup.draw("Saved to ann@corp.io", baseline, 24, Font::sans, {20, 20, 20});
    return popup.pixels();
}

bool anyTextContains(const std::vector<DetectedRegion>& regions, const std::string& part)
{
    return std::any_of(regions.begin(), regions.end(),
                       [&](const DetectedRegion& r) { return r.text.find(part) != std::string::npos; });
}

// Eight short lines, an address with a number, and three indented lines
// that stay in view through the zooms below.
cv::Mat pageWithAnAddress()
{
    TextCanvas canvas(kWidth, kHeight, {255, 255, 255});
    for (std::size_t i = 0; i < 8; ++i)
        canvas.draw(kPageLines[i], {24, 40 + kLineSpacing * static_cast<int>(i)}, 22, Font::sans, {30, 30, 30});
    canvas.draw("anna.berg@example.org wire 4417", {24, 40 + kLineSpacing * 9}, 22, Font::sans, {30, 30, 30});
    for (int i = 0; i < 3; ++i)
        canvas.draw(kPageLines[8 + i], {300, 40 + kLineSpacing * (11 + i)}, 22, Font::sans, {30, 30, 30});
    return canvas.pixels().clone();
}

// The page scaled about a point right of where its lines start: at 1.1
// their first characters lie beyond the left edge, at 1.05 all are in view.
constexpr double kZoomAnchorX = 500;

Image zoomedAboutAnchor(const cv::Mat& page, double zoom)
{
    const cv::Mat transform = (cv::Mat_<double>(2, 3) << zoom, 0, (1 - zoom) * kZoomAnchorX, 0, zoom, 0);
    cv::Mat scaled;
    cv::warpAffine(page, scaled, transform, page.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(255));
    return Image(scaled);
}

IncrementalRecognizer::FrameContext motionAboutAnchor(double zoom)
{
    return {MotionTransform(zoom, (1 - zoom) * kZoomAnchorX / kWidth, 0), 0};
}

// A region's rect (normalised, origin top-left) in pixels of a frame of `size`.
cv::Rect rounded(const NormalizedRect& rect, cv::Size size)
{
    return cv::Rect(cv::Point(static_cast<int>(std::floor(rect.x * size.width)),
                              static_cast<int>(std::floor(rect.y * size.height))),
                    cv::Point(static_cast<int>(std::ceil(rect.maxX() * size.width)),
                              static_cast<int>(std::ceil(rect.maxY() * size.height))));
}

class IncrementalRecognition : public testing::OcrSuite {
protected:
    // Recognition of the frame from scratch, as the full scan does it.
    static std::vector<DetectedRegion> full(const Image& frame)
    {
        return TextRecognizer(engine_).recognize(frame, settings());
    }

    // Every line the recognizer kept, read afresh from `frame`: what its
    // result must be if no cached reading is stale or misplaced.
    static std::vector<DetectedRegion> freshlyRead(const Image& frame, const std::vector<cv::Rect>& lines)
    {
        std::vector<OcrLine> read;
        for (const cv::Rect& line : lines)
            if (auto l = engine_->readLine(frame.pixels, line))
                read.push_back(std::move(*l));
        std::vector<const TextObservation*> observations;
        for (const auto& line : read)
            observations.push_back(&line);
        return TextRecognizer::regions(observations, static_cast<double>(frame.width()) / frame.height(), settings());
    }
};

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

// A reading depends only on the line's pixels: read at one place and placed
// at another, it is exactly what reading it there gives.
TEST_F(IncrementalRecognition, AReadingPlacedElsewhereIsExactlyTheReadingThere)
{
    const cv::Mat page = renderPage();
    const Image first = view(page, 0);
    const Image scrolled = view(page, 45);
    int compared = 0;
    for (const cv::Rect& line : engine_->findLines(first, first.pixels.size())) {
        if (line.y < 45)
            continue; // scrolled out
        const cv::Rect there = line - cv::Point(0, 45);
        const auto reading = engine_->readLinePixels(first.pixels(line));
        const auto direct = engine_->readLine(scrolled.pixels, there);
        ASSERT_EQ(reading.has_value(), direct.has_value());
        if (!reading)
            continue;
        const OcrLine placed = OcrEngine::placeLine(*reading, there, scrolled.pixels);
        SCOPED_TRACE(direct->reading().string);
        EXPECT_EQ(placed.reading(), direct->reading());
        EXPECT_EQ(placed.boundingBox(), direct->boundingBox());
        EXPECT_EQ(placed.characters(), direct->characters());
        EXPECT_EQ(placed.boundingBox({0, 3}), direct->boundingBox({0, 3}));
        ++compared;
    }
    EXPECT_GE(compared, 10);
}

TEST_F(IncrementalRecognition, AStaticFrameIsReadFromTheCacheAndEqualsFullRecognition)
{
    const cv::Mat page = renderPage();
    IncrementalRecognizer recognizer(engine_, {2});
    const Image frame = view(page, 0);
    const auto first = recognizer.recognize(frame, frame, settings(), scrolledBy(0));
    const auto reads = recognizer.statistics().linesRead;
    const Image again = view(page, 0); // equal pixels, another buffer
    const auto second = recognizer.recognize(again, again, settings(), scrolledBy(0));

    const auto expected = full(again);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(first, expected);
    EXPECT_EQ(second, expected);
    const auto& stats = recognizer.statistics();
    EXPECT_EQ(stats.linesRead, reads);
    EXPECT_EQ(stats.wholeFrameDetections, 1);
    EXPECT_EQ(stats.bandDetections, 1);
    EXPECT_EQ(stats.linesCarried, static_cast<std::int64_t>(recognizer.latestLines().size()));
}

TEST_F(IncrementalRecognition, ScrolledLinesAreReusedAndOnlyNewLinesRead)
{
    const cv::Mat page = renderPage();
    IncrementalRecognizer recognizer(engine_, {2});
    recognizer.recognize(view(page, 0), view(page, 0), settings(), scrolledBy(0));
    const auto readsBefore = recognizer.statistics().linesRead;
    const auto linesBefore = static_cast<std::int64_t>(recognizer.latestLines().size());

    for (const int top : {37, 37 + 29}) { // whole pixels, neither a multiple of the tile size
        SCOPED_TRACE(top);
        const Image frame = view(page, top);
        const auto regions = recognizer.recognize(frame, frame, settings(), scrolledBy(top));
        EXPECT_EQ(regions, freshlyRead(frame, recognizer.latestLines()));
        EXPECT_EQ(texts(regions), texts(full(frame)));
    }
    const auto& stats = recognizer.statistics();
    EXPECT_EQ(stats.wholeFrameDetections, 1);
    EXPECT_EQ(stats.bandDetections, 2);
    // Two scrolls bring in about four lines at the bottom; the rest are reused.
    EXPECT_GT(stats.linesRead, readsBefore);
    EXPECT_LE(stats.linesRead - readsBefore, 8);
    EXPECT_GE(stats.linesReused, 2 * (linesBefore - 4));
}

// Registration is good to about a pixel: a scroll it reports a pixel short
// is still found, among the displacements next to the reported one.
TEST_F(IncrementalRecognition, AScrollReportedAPixelShortIsFound)
{
    const cv::Mat page = renderPage();
    IncrementalRecognizer recognizer(engine_, {2});
    recognizer.recognize(view(page, 0), view(page, 0), settings(), scrolledBy(0));
    const auto before = recognizer.statistics();
    const Image frame = view(page, 37);
    const auto regions = recognizer.recognize(frame, frame, settings(), scrolledBy(36));
    const auto& stats = recognizer.statistics();
    EXPECT_EQ(stats.bandDetections - before.bandDetections, 1);
    EXPECT_LE(stats.linesRead - before.linesRead, 4);
    EXPECT_EQ(regions, freshlyRead(frame, recognizer.latestLines()));
}

// A sheet's frozen header stays while the page under it scrolls: its lines
// are kept in their place, not detected and read again.
TEST_F(IncrementalRecognition, AFrozenHeaderOverAScrollingPageIsKeptInPlace)
{
    constexpr int kHeader = 96;
    TextCanvas header(kWidth, kHeader, {240, 240, 240});
    header.draw("Contacts for the spring launch", {24, 36}, 22, Font::sans, {30, 30, 30});
    header.draw("Owner: li.wei@example.cn", {24, 76}, 22, Font::sans, {30, 30, 30});
    const cv::Mat page = renderPage();
    const auto frameAt = [&](int top) {
        cv::Mat pixels;
        cv::vconcat(header.pixels(), page(cv::Rect(0, top, kWidth, kHeight - kHeader)), pixels);
        return Image(pixels);
    };
    IncrementalRecognizer recognizer(engine_, {2});
    const Image first = frameAt(0);
    recognizer.recognize(first, first, settings(), scrolledBy(0));
    const std::vector<cv::Rect> before = recognizer.latestLines();
    const auto carriedBefore = recognizer.statistics().linesCarried;

    constexpr int kScroll = 37;
    const Image second = frameAt(kScroll);
    const auto regions = recognizer.recognize(second, second, settings(), scrolledBy(kScroll));
    EXPECT_EQ(regions, freshlyRead(second, recognizer.latestLines()));
    EXPECT_TRUE(anyTextContains(regions, "li.wei@example.cn"));
    // Header lines stay where they were; page lines whose margins stay on the
    // page below the header move with it; both are kept.
    std::int64_t keepable = 0;
    for (const cv::Rect& line : before) {
        const bool inHeader = line.br().y + 8 <= kHeader;
        const bool onPage = line.y - kScroll - 8 >= kHeader && line.br().y - kScroll + 8 <= kHeight;
        keepable += inHeader || onPage ? 1 : 0;
    }
    EXPECT_GE(recognizer.statistics().linesCarried - carriedBefore, keepable);
}

// A sheet scrolled by several rows takes their cells under its frozen header
// row, which hides them: nothing there is detected again. Only the rows
// scrolled into view are, in windows, not the whole frame.
TEST_F(IncrementalRecognition, CellsScrolledUnderAFrozenHeaderAreNotSoughtThere)
{
    constexpr int kHeader = 64;
    constexpr int kRow = 32;
    TextCanvas header(kWidth, kHeader, {235, 235, 235});
    header.draw("Name", {24, 42}, 20, Font::sans, {30, 30, 30});
    header.draw("Desk", {200, 42}, 20, Font::sans, {30, 30, 30});
    header.draw("City", {360, 42}, 20, Font::sans, {30, 30, 30});
    header.draw("Laptop", {500, 42}, 20, Font::sans, {30, 30, 30});
    const std::vector<std::array<const char*, 4>> people{
        {"Ana Lima", "P-05", "Oslo", "MBA 13"},    {"Jun Park", "K-02", "Seoul", "MBP 16"},
        {"Liu Fang", "J-09", "Lima", "MBP 14"},    {"Ivan Petrov", "D-22", "Riga", "X1"},
        {"Wei Zhou", "V-07", "Perth", "T14"},      {"Chen Hao", "H-04", "Turin", "MBA 15"},
        {"Amara Osei", "B-14", "Accra", "MBP 13"}, {"Sofia Lind", "S-11", "Malmo", "X13"},
    };
    TextCanvas body(kWidth, 40 * kRow, {255, 255, 255});
    for (int row = 0; row < 40; ++row) {
        const auto& person = people[static_cast<std::size_t>(row) % people.size()];
        for (int column = 0; column < 4; ++column)
            body.draw(person[static_cast<std::size_t>(column)], {24 + (column == 0 ? 0 : 176 + 150 * (column - 1)), 24 + kRow * row},
                      20, Font::sans, {30, 30, 30});
    }
    const auto frameAt = [&](int top) {
        cv::Mat pixels;
        cv::vconcat(header.pixels(), body.pixels()(cv::Rect(0, top, kWidth, kHeight - kHeader)), pixels);
        return Image(pixels);
    };
    IncrementalRecognizer recognizer(engine_, {2});
    const Image first = frameAt(0);
    recognizer.recognize(first, first, settings(), scrolledBy(0));
    constexpr int kScroll = 5 * kRow + 7;
    const Image second = frameAt(kScroll);
    const auto regions = recognizer.recognize(second, second, settings(), scrolledBy(kScroll));
    EXPECT_EQ(recognizer.statistics().wholeFrameDetections, 1);
    EXPECT_EQ(recognizer.statistics().bandDetections, 1);
    // Rows scrolled into view repeat rows read before, whose readings they
    // take: the same texts but for spaces.
    EXPECT_EQ(texts(regions), texts(freshlyRead(second, recognizer.latestLines())));
    EXPECT_TRUE(anyTextContains(regions, "Laptop"));
}

// A fast scroll of a sheet changes the row under its frozen header and the
// rows scrolled into view, cell by cell. Each cell's window keeps the
// detector's context all round; one row's cells come out as one strip, so
// that the frame is detected in windows rather than whole, and what lies
// apart stays apart.
TEST(DetectionWindows, ARowOfChangedCellsIsOneStripWithItsContext)
{
    const cv::Size raster(1280, 720); // of a 1920 x 1080 frame
    constexpr double kScale = 1.5;
    constexpr int kContext = 48; // raster pixels the detector looks beyond a line
    std::vector<cv::Rect> areas;
    for (const auto& [x, width] : std::vector<std::pair<int, int>>{
             {0, 32}, {96, 224}, {384, 128}, {576, 96}, {704, 192}, {928, 64}, {1024, 96}, {1152, 256}, {1504, 224}}) {
        areas.emplace_back(x, 128, width, 32);  // under the header
        areas.emplace_back(x, 896, width, 160); // scrolled into view
    }
    areas.emplace_back(1152, 448, 32, 32); // a pointer in the middle

    const std::vector<cv::Rect> windows = IncrementalRecognizer::detectionWindows(areas, kScale, kScale, raster);
    const cv::Rect rasterRect({}, raster);
    for (const cv::Rect& area : areas) {
        const cv::Rect inRaster(cv::Point(static_cast<int>(area.x / kScale), static_cast<int>(area.y / kScale)),
                                cv::Point(static_cast<int>(std::ceil(area.br().x / kScale)),
                                          static_cast<int>(std::ceil(area.br().y / kScale))));
        const cv::Rect withContext =
            cv::Rect(inRaster.tl() - cv::Point(kContext, kContext), inRaster.br() + cv::Point(kContext, kContext)) &
            rasterRect;
        EXPECT_TRUE(std::any_of(windows.begin(), windows.end(),
                                [&](const cv::Rect& window) { return (window & withContext) == withContext; }))
            << "area at " << area.x << ", " << area.y;
    }
    ASSERT_EQ(windows.size(), 3U);
    double total = 0;
    for (const cv::Rect& window : windows) {
        EXPECT_LE(window.height, 192);
        total += window.area();
    }
    EXPECT_LT(total, 0.5 * raster.area());
}

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

// Typing, a popup and a cut change what is on screen: the changed lines are
// read again and the result is what recognizing the new frame gives.
TEST_F(IncrementalRecognition, ChangedLinesAreRecognizedAgain)
{
    const cv::Mat page = renderPage();
    const Image before = view(page, 0);

    TextCanvas typed(kWidth, kHeight, {255, 255, 255});
    before.pixels.copyTo(typed.pixels());
    const int typedRow = 40 + kLineSpacing * 3;
    typed.fill(cv::Rect(20, typedRow - 24, 600, 32), {255, 255, 255});
    typed.draw("Budget approved for bob@mail.org", {24, typedRow}, 22, Font::sans, {30, 30, 30});

    const Image popup(withPopup(before, cv::Rect(150, 120, 360, 110), {235, 225, 200}, {180, 185}));

    TextCanvas cut(kWidth, kHeight, {40, 40, 40});
    cut.draw("Terminal session 2", {30, 60}, 24, Font::mono, {230, 230, 230});
    cut.draw("ssh root@host.example.net", {30, 120}, 24, Font::mono, {230, 230, 230});

    struct Case {
        const char* what;
        Image frame;
        std::string newText;
        std::string goneText; // a line no longer on screen
        bool wholeFrame;
    };
    const std::vector<Case> cases{
        {"typing", typed.image(), "bob@mail.org", "Budget approved for March", false},
        {"popup", popup, "ann@corp.io", "", false},
        {"cut", cut.image(), "root@host", "Weekly review notes", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IncrementalRecognizer recognizer(engine_, {2});
        recognizer.recognize(before, before, settings(), scrolledBy(0));
        const auto statsBefore = recognizer.statistics();
        const auto regions = recognizer.recognize(c.frame, c.frame, settings(), scrolledBy(0));
        const auto& stats = recognizer.statistics();

        EXPECT_TRUE(anyTextContains(regions, c.newText));
        if (!c.goneText.empty()) {
            EXPECT_FALSE(anyTextContains(regions, c.goneText));
        }
        EXPECT_GT(stats.linesRead, statsBefore.linesRead);
        EXPECT_EQ(regions, freshlyRead(c.frame, recognizer.latestLines()));
        EXPECT_EQ(stats.wholeFrameDetections - statsBefore.wholeFrameDetections, c.wholeFrame ? 1 : 0);
        if (c.wholeFrame) {
            EXPECT_EQ(regions, full(c.frame)); // a new picture is recognized as from scratch
        } else if (c.goneText.empty()) {
            // Lines cut by the popup's edge are found in a window rather
            // than the whole frame, and may be boxed a pixel apart; the
            // popup's own text reads the same.
            EXPECT_EQ(texts(regions).count("Savedtoann@corp.io"), 1u);
        } else {
            EXPECT_EQ(texts(regions), texts(full(c.frame)));
        }
    }
}

// The next frame is compared with the latest one wherever that changed,
// however the reference is brought up to date (written over where nothing
// moved, copied afresh after a scroll): a popup that opens, stays and
// closes again, then a scroll, leave it equal to each frame in turn.
TEST_F(IncrementalRecognition, TheReferenceFollowsEveryChangeOfTheFrame)
{
    const cv::Mat page = renderPage();
    const Image open = view(page, 0);
    const Image popup(withPopup(open, cv::Rect(150, 120, 360, 110), {235, 225, 200}, {180, 185}));
    const Image scrolled = view(page, 40);
    const std::vector<std::pair<Image, int>> frames{{open, 0},  {open, 0},      {popup, 0},    {popup, 0},
                                                    {open, 0},  {scrolled, 40}, {scrolled, 40}};
    IncrementalRecognizer recognizer(engine_, {2});
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& [frame, top] = frames[i];
        recognizer.recognize(frame, frame, settings(), scrolledBy(top));
        ASSERT_EQ(recognizer.latestReference().size(), frame.pixels.size());
        EXPECT_EQ(cv::norm(recognizer.latestReference(), frame.pixels, cv::NORM_INF), 0);
    }
}

// Video coding leaves a few levels of noise on a still screen: the lines
// are kept with their readings, and nothing is detected or read again.
TEST_F(IncrementalRecognition, CodingNoiseOnAStillScreenIsNotAChange)
{
    const cv::Mat page = renderPage();
    IncrementalRecognizer recognizer(engine_, {2});
    const Image clean = view(page, 0);
    const auto first = recognizer.recognize(clean, clean, settings(), scrolledBy(0));
    const auto statsBefore = recognizer.statistics();

    cv::RNG random(7);
    for (int frame = 0; frame < 3; ++frame) {
        cv::Mat noise(clean.pixels.size(), CV_16SC3);
        random.fill(noise, cv::RNG::UNIFORM, -8, 9);
        cv::Mat noisy;
        clean.pixels.convertTo(noisy, CV_16SC3);
        noisy += noise;
        noisy.convertTo(noisy, CV_8UC3); // saturating
        const Image frameImage(noisy);
        EXPECT_EQ(recognizer.recognize(frameImage, frameImage, settings(), scrolledBy(0)), first);
    }
    const auto& stats = recognizer.statistics();
    EXPECT_EQ(stats.linesRead, statsBefore.linesRead);
    EXPECT_EQ(stats.wholeFrameDetections, statsBefore.wholeFrameDetections);
}

// A fast scroll leaves coding noise far above the steady-state level, but
// scattered: it is not a change. A full stop inked into a line is a handful
// of pixels, but dark on light: it is.
TEST_F(IncrementalRecognition, ScatteredNoiseOfAFastScrollIsNotAChangeButAFullStopIs)
{
    const cv::Mat page = renderPage();
    const auto scrolled = [&](IncrementalRecognizer& recognizer, const Image& frame) {
        recognizer.recognize(view(page, 0), view(page, 0), settings(), scrolledBy(0));
        const auto before = recognizer.statistics().linesRead;
        recognizer.recognize(frame, frame, settings(), scrolledBy(37));
        return recognizer.statistics().linesRead - before;
    };
    IncrementalRecognizer clean(engine_, {2});
    const auto cleanReads = scrolled(clean, view(page, 37));

    // Single pixels 40 to 60 levels off, on a 6-pixel grid: no 5 x 5 square
    // holds more than four.
    cv::Mat noisy = view(page, 37).pixels.clone();
    cv::RNG random(11);
    for (int y = 0; y < noisy.rows; y += 6)
        for (int x = 0; x < noisy.cols; x += 6) {
            if (random.uniform(0, 3) != 0)
                continue;
            const int level = random.uniform(40, 61) * (random.uniform(0, 2) == 0 ? 1 : -1);
            cv::Vec3b& pixel = noisy.at<cv::Vec3b>(std::min(y + random.uniform(0, 3), noisy.rows - 1),
                                                    std::min(x + random.uniform(0, 3), noisy.cols - 1));
            for (int c = 0; c < 3; ++c)
                pixel[c] = cv::saturate_cast<std::uint8_t>(pixel[c] + level);
        }
    IncrementalRecognizer throughNoise(engine_, {2});
    EXPECT_EQ(scrolled(throughNoise, Image(noisy)), cleanReads);

    // A full stop after "Budget approved for March", on its baseline.
    const int baseline = 40 + kLineSpacing * 3;
    TextCanvas alone(kWidth, kPageHeight, {255, 255, 255});
    const cv::Rect text = alone.draw(kPageLines[3], {24, baseline}, 22, Font::sans, {30, 30, 30});
    cv::Mat dotted = view(page, 37).pixels.clone();
    dotted(cv::Rect(text.br().x + 2, baseline - 37 - 2, 2, 2)).setTo(cv::Scalar(30, 30, 30));
    IncrementalRecognizer withDot(engine_, {2});
    EXPECT_GT(scrolled(withDot, Image(dotted)), cleanReads);

    // A faint mark in the same place, six pixels only 50 levels off on every
    // other row of a 5 x 5 square: clustered, it is a change, though no row
    // of it holds more than two.
    cv::Mat smudged = view(page, 37).pixels.clone();
    for (int dy = 0; dy <= 4; dy += 2)
        for (int dx = 0; dx <= 2; dx += 2)
            smudged.at<cv::Vec3b>(baseline - 37 - 4 + dy, text.br().x + 2 + dx) = cv::Vec3b(205, 205, 205);
    IncrementalRecognizer withSmudge(engine_, {2});
    EXPECT_GT(scrolled(withSmudge, Image(smudged)), cleanReads);
}

// Lines under a popup come back when it closes, as lossy video gives them:
// not byte for byte. Those the same but for coding noise take their earlier
// readings; one changed while hidden (a digit of the same width) is read.
TEST_F(IncrementalRecognition, LinesThatComeBackAreNotReadAgainUnlessTheyChanged)
{
    const cv::Mat page = renderPage();
    const Image open = view(page, 0);
    const Image popup(withPopup(open, cv::Rect(10, 100, 620, 260), {235, 225, 200}, {180, 240}));

    // Closed again: the background a few levels off, and in a line hidden
    // under the popup "48213" became "48218".
    const int changedRow = 40 + kLineSpacing * 5;
    TextCanvas edited(kWidth, kHeight, {255, 255, 255});
    open.pixels.copyTo(edited.pixels());
    edited.fill(cv::Rect(20, changedRow - 24, 600, 32), {255, 255, 255});
    edited.draw("Ticket 48218 opened by Sofia", {24, changedRow}, 22, Font::sans, {30, 30, 30});
    const cv::Mat closed = withBackgroundNoise(edited.pixels());

    IncrementalRecognizer recognizer(engine_, {2});
    recognizer.recognize(open, open, settings(), scrolledBy(0));
    recognizer.recognize(popup, popup, settings(), scrolledBy(0));
    const auto before = recognizer.statistics();
    const Image closedImage(closed);
    const auto regions = recognizer.recognize(closedImage, closedImage, settings(), scrolledBy(0));
    const auto& stats = recognizer.statistics();

    EXPECT_GE(stats.linesMatched - before.linesMatched, 4);
    EXPECT_GE(stats.linesRead - before.linesRead, 1);
    EXPECT_TRUE(anyTextContains(regions, "48218"));
    EXPECT_FALSE(anyTextContains(regions, "48213"));
    EXPECT_FALSE(anyTextContains(regions, "ann@corp.io"));
    EXPECT_EQ(texts(regions), texts(full(closedImage)));
}

// A sheet's column repeats values: equal text at the same horizontal offset,
// the same picture but for coding noise, is read once and placed in each row.
// (Rows 64 pixels apart, so that detection boxes them alike.)
TEST_F(IncrementalRecognition, EqualLinesOfOneFrameAreReadOnce)
{
    TextCanvas canvas(kWidth, kHeight, {255, 255, 255});
    const std::vector<std::string> rows{"Reply to nadia@deskline.app", "Weekly review notes",
                                        "Reply to nadia@deskline.app", "Call +1 303 555 0164 today",
                                        "Reply to nadia@deskline.app"};
    for (std::size_t i = 0; i < rows.size(); ++i)
        canvas.draw(rows[i], {24, 60 + 64 * static_cast<int>(i)}, 22, Font::sans, {30, 30, 30});
    const cv::Mat noisy = withBackgroundNoise(canvas.pixels());
    const Image frame(noisy);

    IncrementalRecognizer recognizer(engine_, {2});
    const auto regions = recognizer.recognize(frame, frame, settings(), scrolledBy(0));
    const auto& stats = recognizer.statistics();
    // Boxes a pixel apart are not the same crop; two of the three are boxed
    // alike at least.
    EXPECT_GE(stats.linesMatched, 1);
    EXPECT_EQ(stats.linesRead + stats.linesMatched, static_cast<std::int64_t>(recognizer.latestLines().size()));
    // The shared reading is placed on each line's own box; only its
    // confidence may differ from the line's own reading.
    const auto expected = full(frame);
    ASSERT_EQ(regions.size(), expected.size());
    for (std::size_t i = 0; i < regions.size(); ++i) {
        EXPECT_EQ(regions[i].text, expected[i].text);
        EXPECT_EQ(regions[i].rect, expected[i].rect);
    }
    EXPECT_EQ(std::count_if(regions.begin(), regions.end(),
                            [](const DetectedRegion& r) { return r.text == "Reply to nadia@deskline.app"; }),
              3);
}

// A sheet's cells repeat values at other offsets in their boxes, and one
// line is found in boxes a pixel or two apart from window to window. Crops
// showing the same ink at the same scale, whatever their boxes, are read
// once, in one frame and in a later one, the reading placed on each box's
// ink. A line differing by one character is read for itself.
TEST_F(IncrementalRecognition, EqualTextInBoxesSetOtherwiseIsReadOnce)
{
    const std::string repeated = "Reply to nadia@deskline.app";
    const auto draw = [&](const std::vector<int>& indents) {
        TextCanvas canvas(kWidth, kHeight, {255, 255, 255});
        for (std::size_t i = 0; i < indents.size(); ++i)
            canvas.draw(repeated, {indents[i], 60 + 64 * static_cast<int>(i)}, 22, Font::sans, {30, 30, 30});
        canvas.draw("Reply to nadja@deskline.app", {24, 60 + 64 * static_cast<int>(indents.size())}, 22, Font::sans,
                    {30, 30, 30});
        return withBackgroundNoise(canvas.pixels());
    };
    // Crops read before (`earlier`) that `crop` may take its reading from.
    std::vector<cv::Mat> earlier;
    int boxedOtherwise = 0;
    const auto readsExpected = [&](const Image& frame, const std::vector<cv::Rect>& lines) {
        int reads = 0;
        for (const cv::Rect& line : lines) {
            const cv::Mat crop = frame.pixels(line);
            const cv::Rect ink = OcrEngine::inkBox(crop);
            const auto partner = std::find_if(earlier.begin(), earlier.end(), [&](const cv::Mat& read) {
                const cv::Rect readInk = OcrEngine::inkBox(read);
                const cv::Point offset = ink.tl() - readInk.tl();
                return readInk.size() == ink.size() && IncrementalRecognizer::samePictureMoved(crop, read, offset) &&
                       OcrEngine::readAtOneScale(read, crop, offset);
            });
            if (partner == earlier.end()) {
                earlier.push_back(crop);
                ++reads;
            } else if (partner->size() != crop.size()) {
                ++boxedOtherwise;
            }
        }
        return reads;
    };

    const Image frame(draw({24, 27, 33, 41}));
    IncrementalRecognizer recognizer(engine_, {2});
    const auto regions = recognizer.recognize(frame, frame, settings(), scrolledBy(0));
    EXPECT_EQ(recognizer.statistics().linesRead, readsExpected(frame, recognizer.latestLines()));
    const auto expected = full(frame);
    ASSERT_EQ(regions.size(), expected.size());
    for (std::size_t i = 0; i < regions.size(); ++i) {
        SCOPED_TRACE(expected[i].text);
        EXPECT_EQ(regions[i].text, expected[i].text);
        // On the ink: within a pixel of the line's own reading.
        EXPECT_NEAR(regions[i].rect.x * kWidth, expected[i].rect.x * kWidth, 1.0);
        EXPECT_NEAR(regions[i].rect.maxX() * kWidth, expected[i].rect.maxX() * kWidth, 1.0);
    }
    EXPECT_TRUE(anyTextContains(regions, "nadja@deskline.app"));

    // The rows moved sideways by other amounts, each alone: detected again.
    const Image later(draw({30, 22, 37, 29}));
    const auto before = recognizer.statistics();
    const auto again = recognizer.recognize(later, later, settings(), scrolledBy(0));
    EXPECT_EQ(recognizer.statistics().linesRead - before.linesRead, readsExpected(later, recognizer.latestLines()));
    EXPECT_EQ(texts(again), texts(full(later)));
    // The case at hand: readings shared between boxes of different sizes.
    EXPECT_GE(boxedOtherwise, 2);
}

// A popup fading in changes each frame by less than coding noise, but the
// change adds up against what the kept lines were read on: its e-mail
// address is found.
TEST_F(IncrementalRecognition, AFadeThatAddsUpIsFound)
{
    const cv::Mat page = renderPage();
    const Image before = view(page, 0);
    const cv::Mat popup = withPopup(before, cv::Rect(150, 120, 360, 110), {255, 255, 255}, {180, 185});

    IncrementalRecognizer recognizer(engine_, {2});
    recognizer.recognize(before, before, settings(), scrolledBy(0));
    std::vector<DetectedRegion> regions;
    constexpr int kSteps = 16; // about 15 levels a step on dark text
    for (int step = 1; step <= kSteps; ++step) {
        cv::Mat blended;
        cv::addWeighted(popup, static_cast<double>(step) / kSteps, before.pixels,
                        1.0 - static_cast<double>(step) / kSteps, 0, blended);
        const Image frame(blended);
        regions = recognizer.recognize(frame, frame, settings(), scrolledBy(0));
    }
    EXPECT_TRUE(anyTextContains(regions, "ann@corp.io"));
    EXPECT_FALSE(anyTextContains(regions, "Budget approved"));
}

// Text typed beyond a kept line's margin makes a longer line: the longer
// line is read, and the kept one does not shadow it.
TEST_F(IncrementalRecognition, ALineThatGrowsIsReadWhole)
{
    TextCanvas before(kWidth, kHeight, {255, 255, 255});
    before.draw("Send the invoice to", {24, 200}, 22, Font::sans, {30, 30, 30});
    before.draw("Weekly review notes", {24, 80}, 22, Font::sans, {30, 30, 30});
    TextCanvas after(kWidth, kHeight, {255, 255, 255});
    after.pixels() = before.pixels().clone();
    const int gap = before.advance("Send the invoice to ", 22, Font::sans);
    after.draw("kim@ledger.io", {24 + gap, 200}, 22, Font::sans, {30, 30, 30});

    IncrementalRecognizer recognizer(engine_, {2});
    recognizer.recognize(before.image(), before.image(), settings(), scrolledBy(0));
    const auto regions = recognizer.recognize(after.image(), after.image(), settings(), scrolledBy(0));
    EXPECT_TRUE(anyTextContains(regions, "kim@ledger.io"));
    EXPECT_EQ(texts(regions), texts(full(after.image())));
}

// A heading, and below it a field holding `line`.
Image fieldWith(const std::string& line)
{
    TextCanvas canvas(kWidth, kHeight, {255, 255, 255});
    canvas.draw("Weekly review notes", {24, 80}, 22, Font::sans, {30, 30, 30});
    canvas.draw(line, {24, 200}, 22, Font::sans, {30, 30, 30});
    return canvas.image();
}

// The last character of an address typed right after the line, inside the
// margin kept round it: the line is read again, not kept without it.
TEST_F(IncrementalRecognition, ACharacterTypedAtALinesEndIsRead)
{
    IncrementalRecognizer recognizer(engine_, {2});
    const Image before = fieldWith("Write to kim@ledger.i");
    const Image after = fieldWith("Write to kim@ledger.io");
    recognizer.recognize(before, before, settings(), scrolledBy(0));
    const auto regions = recognizer.recognize(after, after, settings(), scrolledBy(0));
    EXPECT_TRUE(anyTextContains(regions, "kim@ledger.io"));
}

// An address typed into a field character by character: each frame's
// reading has the address to hide from the frame it is complete in.
TEST_F(IncrementalRecognition, AnAddressTypedCharacterByCharacterIsMatchedOnceComplete)
{
    const std::string typed = "To: kim@ledger.io";
    IncrementalRecognizer recognizer(engine_, {2});
    const std::size_t complete = typed.size(); // "…ledger.io": two letters after the dot
    for (std::size_t length = typed.size() - 4; length <= typed.size(); ++length) {
        SCOPED_TRACE(typed.substr(0, length));
        const Image frame = fieldWith(typed.substr(0, length));
        const auto regions = recognizer.recognize(frame, frame, settings(), scrolledBy(0));
        const bool hidden = std::any_of(regions.begin(), regions.end(), [](const DetectedRegion& region) {
            return std::any_of(region.selections.begin(), region.selections.end(), [](const TextSelection& s) {
                return s.kind == RedactionKind::email && s.text == "kim@ledger.io";
            });
        });
        EXPECT_EQ(hidden, length == complete);
        EXPECT_TRUE(anyTextContains(regions, typed.substr(4, length - 4)));
    }
}

// A long line changed only in its middle has just that stretch read again,
// and the line's reading is the old one with the new words in it.
TEST_F(IncrementalRecognition, AChangeInTheMiddleOfALongLineIsReadThere)
{
    const auto render = [](const std::string& address) {
        TextCanvas canvas(kWidth, kHeight, {255, 255, 255});
        canvas.draw("Weekly review notes", {24, 80}, 22, Font::sans, {30, 30, 30});
        canvas.draw("Please write to " + address + " before the end of May", {24, 200}, 20, Font::sans,
                    {30, 30, 30});
        return canvas.image();
    };
    const Image before = render("ann@corp.io");
    const Image after = render("bob@corp.io");

    IncrementalRecognizer recognizer(engine_, {2});
    const auto first = recognizer.recognize(before, before, settings(), scrolledBy(0));
    ASSERT_TRUE(anyTextContains(first, "ann@corp.io"));
    const auto statsBefore = recognizer.statistics();
    const auto regions = recognizer.recognize(after, after, settings(), scrolledBy(0));
    EXPECT_EQ(recognizer.statistics().linesPatched - statsBefore.linesPatched, 1);
    EXPECT_TRUE(anyTextContains(regions, "bob@corp.io"));
    EXPECT_FALSE(anyTextContains(regions, "ann@corp.io"));
    EXPECT_EQ(texts(regions), texts(full(after)));
}

// A short cell of a dense table changed: the rows above and below are kept,
// and their margins together reach over the cell, which is read all the same.
TEST_F(IncrementalRecognition, AShortCellBetweenKeptRowsIsRead)
{
    const auto render = [](const std::string& city) {
        TextCanvas canvas(kWidth, kHeight, {255, 255, 255});
        const std::vector<std::string> cities{"Stockholm", "Bristol", city, "Seoul", "Denver"};
        for (std::size_t i = 0; i < cities.size(); ++i) {
            const int y = 100 + 23 * static_cast<int>(i);
            canvas.draw("+44 117 496 01" + std::to_string(10 + i), {24, y}, 20, Font::sans, {30, 30, 30});
            canvas.draw(cities[i], {260, y}, 20, i == 2 ? Font::simplifiedChinese : Font::sans, {30, 30, 30});
        }
        return canvas.image();
    };
    const Image before = render("Oslo");
    const Image after = render("杭州");
    IncrementalRecognizer recognizer(engine_, {2});
    ASSERT_TRUE(anyTextContains(recognizer.recognize(before, before, settings(), scrolledBy(0)), "Oslo"));
    const auto regions = recognizer.recognize(after, after, settings(), scrolledBy(0));
    EXPECT_TRUE(anyTextContains(regions, "杭州"));
    EXPECT_FALSE(anyTextContains(regions, "Oslo"));
    EXPECT_EQ(texts(regions), texts(full(after)));
}

// OpenCV cannot change its thread count while one of its loops runs on
// another thread (a scan registers frames beside recognition): recognition
// leaves the count as it was settled, whatever it detects.
TEST_F(IncrementalRecognition, LeavesOpenCvThreadCountAlone)
{
    OcrEngine::settleOpenCvThreads();
    const int settled = cv::getNumThreads();
    std::atomic<bool> done = false;
    std::atomic<int> changes = 0;
    std::thread watcher([&] {
        while (!done)
            if (cv::getNumThreads() != settled)
                ++changes;
    });
    const cv::Mat page = renderPage();
    // Fewer threads of its own than OpenCV's, so that a recognizer handing
    // its count to OpenCV would show.
    IncrementalRecognizer recognizer(engine_, {std::max(1, settled - 1)});
    recognizer.recognize(view(page, 0), view(page, 0), settings(), scrolledBy(0));      // whole frame
    recognizer.recognize(view(page, 120), view(page, 120), settings(), scrolledBy(120)); // what scrolled in
    done = true;
    watcher.join();
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(cv::getNumThreads(), settled);
}

TEST_F(IncrementalRecognition, CancellationEndsAFrame)
{
    const cv::Mat page = renderPage();
    IncrementalRecognizer recognizer(engine_, {2});
    std::stop_source stop;
    stop.request_stop();
    const Image frame = view(page, 0);
    EXPECT_THROW(recognizer.recognize(frame, frame, settings(), scrolledBy(0), stop.get_token()), OperationCancelled);
    EXPECT_EQ(recognizer.statistics().linesRead, 0);
}

} // namespace
} // namespace scrivel
