// Incremental recognition against recognizing each frame from scratch, on
// rendered screen-like frames.

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
