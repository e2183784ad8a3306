#include "recognition/TextRecognizer.hpp"

#include <algorithm>
#include <cstring>
#include <future>
#include <optional>
#include <regex>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "ScrivelCore/Errors.hpp"
#include "recognition/OcrEngine.hpp"
#include "ScrivelCore/UnicodeText.hpp"
#include "support/FakeObservation.hpp"
#include "support/OcrSuite.hpp"
#include "support/RenderedText.hpp"

namespace scrivel {
namespace {

using testing::FakeObservation;
using testing::Font;
using testing::TextCanvas;
using Range = TextMatcher::CharacterRange;

constexpr double kAspect = 16.0 / 9.0;

ScanSettings emailsAndPhones()
{
    ScanSettings s;
    s.blurEmails = true;
    s.blurPhones = true;
    return s;
}

std::vector<DetectedRegion> run(std::vector<const TextObservation*> frame, const ScanSettings& settings)
{
    return TextRecognizer::regions(frame, kAspect, settings);
}

void expectNear(const NormalizedRect& actual, const NormalizedRect& expected)
{
    EXPECT_NEAR(actual.x, expected.x, 1e-9);
    EXPECT_NEAR(actual.y, expected.y, 1e-9);
    EXPECT_NEAR(actual.width, expected.width, 1e-9);
    EXPECT_NEAR(actual.height, expected.height, 1e-9);
}

// ---- post-processing on synthetic observations ------------------------------

TEST(TextRecognizerRegions, ConfidenceEqualToTheThresholdPasses)
{
    ScanSettings settings;
    settings.confidence = 0.6f;
    FakeObservation equal(1, "Hello there", 0.6f, {0.1, 0.5, 0.3, 0.05});
    FakeObservation below(2, "Good morning", std::nextafter(0.6f, 0.0f), {0.1, 0.3, 0.3, 0.05});
    auto regions = run({&equal, &below}, settings);
    ASSERT_EQ(regions.size(), 1u);
    EXPECT_EQ(regions[0].text, "Hello there");
    EXPECT_FLOAT_EQ(regions[0].confidence, 0.6f);
}

TEST(TextRecognizerRegions, RegionBoxIsTheAcceptedPartInTopLeftCoordinates)
{
    ScanSettings all;
    all.allText = true;
    FakeObservation line(1, "Hello there", 0.9f, {0.1, 0.2, 0.5, 0.1});
    auto regions = run({&line}, all);
    ASSERT_EQ(regions.size(), 1u);
    const auto& r = regions[0];
    expectNear(r.rect, {0.1, 0.7, 0.5, 0.1});
    EXPECT_EQ(r.trackID, 0);
    EXPECT_EQ(r.backgroundColor, 0xFFFFFFu);
    ASSERT_EQ(r.selections.size(), 1u);
    EXPECT_EQ(r.selections[0].kind, RedactionKind::all);
    EXPECT_EQ(r.selections[0].text, "Hello there");
    expectNear(r.selections[0].rect, {0, 0, 1, 1});

    // A box reaching out of the frame is clamped; one wholly outside is skipped.
    FakeObservation partly(2, "Edge text", 0.9f, {0.8, 0.95, 0.4, 0.1});
    FakeObservation outside(3, "Gone text", 0.9f, {1.2, 0.5, 0.3, 0.1});
    regions = run({&partly, &outside}, ScanSettings{});
    ASSERT_EQ(regions.size(), 1u);
    expectNear(regions[0].rect, {0.8, 0.0, 0.2, 0.05});
    EXPECT_TRUE(regions[0].selections.empty()); // nothing asked for: a region without selections
}

TEST(TextRecognizerRegions, SkipsLinesWithoutReadingFilteredOrWithoutBox)
{
    FakeObservation unread(1, "Hello", 0.9f, {0.1, 0.5, 0.3, 0.05});
    unread.withoutReading();
    FakeObservation punctuation(2, "... — !!", 0.99f, {0.1, 0.4, 0.3, 0.05});
    FakeObservation boxless(3, "Hello", 0.9f, {0.1, 0.3, 0.3, 0.05});
    boxless.cell(0, std::nullopt); // the accepted range has no box
    FakeObservation kept(4, "Kept line", 0.9f, {0.1, 0.2, 0.3, 0.05});
    auto regions = run({&unread, &punctuation, &boxless, &kept}, emailsAndPhones());
    ASSERT_EQ(regions.size(), 1u);
    EXPECT_EQ(regions[0].text, "Kept line");
}

TEST(TextRecognizerRegions, FailingBoxOfAnAcceptedLineFailsTheFrame)
{
    FakeObservation line(1, "Hello", 0.9f, {0.1, 0.5, 0.3, 0.05});
    line.failFor({0, 5});
    EXPECT_THROW(run({&line}, ScanSettings{}), std::runtime_error);
}

TEST(TextRecognizerRegions, MatchesAreClippedToTheAcceptedRange)
{
    // A wide first glyph read as "A" is an icon: the region keeps "Settings".
    FakeObservation line(1, "A Settings", 0.9f, {0.2, 0.5, 0.4, 0.05});
    line.cell(0, ObservationBox{0.2, 0.5, 0.1, 0.05});
    ScanSettings all;
    all.allText = true;
    auto regions = run({&line}, all);
    ASSERT_EQ(regions.size(), 1u);
    EXPECT_EQ(regions[0].text, "Settings");
    ASSERT_EQ(regions[0].selections.size(), 1u);
    EXPECT_EQ(regions[0].selections[0].text, "Settings");
    // Region: characters 2..10 of ten equal cells of 0.04. The icon lies
    // outside the accepted part but is still a foreign neighbour: the
    // selection starts where its box ends (0.3).
    expectNear(regions[0].rect, {0.28, 0.45, 0.32, 0.05});
    expectNear(regions[0].selections[0].rect, {0.02 / 0.32, 0, 0.3 / 0.32, 1});
}

TEST(TextRecognizerRegions, SelectionsAreSqueezedBetweenForeignNeighbours)
{
    // "Mail: bob@ex.com" in sixteen cells of 0.05 starting at 0.1. The colon's
    // box reaches into the address; the space is ignored.
    FakeObservation line(1, "Mail: bob@ex.com", 0.9f, {0.1, 0.5, 0.8, 0.05});
    line.cell(4, ObservationBox{0.3, 0.5, 0.12, 0.05}); // colon up to 0.42, into "b" (0.40..0.45)
    auto regions = run({&line}, emailsAndPhones());
    ASSERT_EQ(regions.size(), 1u);
    ASSERT_EQ(regions[0].selections.size(), 1u);
    const auto& s = regions[0].selections[0];
    EXPECT_EQ(s.kind, RedactionKind::email);
    EXPECT_EQ(s.text, "bob@ex.com");
    expectNear(s.rect, {(0.42 - 0.1) / 0.8, 0, (0.9 - 0.42) / 0.8, 1});

    // Characters of another match are not foreign: the phone run after a
    // Han run is not cut by the Han character's box when Han is matched too.
    FakeObservation mixed(2, "电话13800138000", 0.9f, {0.0, 0.3, 0.65, 0.05});
    mixed.cell(1, ObservationBox{0.05, 0.3, 0.07, 0.05}); // "话" reaches 0.02 into the digits
    ScanSettings phones = emailsAndPhones();
    auto onlyPhone = run({&mixed}, phones);
    ASSERT_EQ(onlyPhone.size(), 1u);
    ASSERT_EQ(onlyPhone[0].selections.size(), 1u);
    EXPECT_NEAR(onlyPhone[0].selections[0].rect.x, 0.12 / 0.65, 1e-9);
    phones.blurHan = true;
    auto both = run({&mixed}, phones);
    ASSERT_EQ(both[0].selections.size(), 2u);
    EXPECT_EQ(both[0].selections[0].kind, RedactionKind::han);
    EXPECT_EQ(both[0].selections[1].kind, RedactionKind::phone);
    EXPECT_NEAR(both[0].selections[1].rect.x, 0.10 / 0.65, 1e-9);
}

TEST(TextRecognizerRegions, ASpanCutOffByAnEllipsisTakesTheEllipsisIn)
{
    // A list's preview cut by its column: "...到了以后请..." in equal cells.
    ScanSettings settings = emailsAndPhones();
    settings.blurHan = true;
    for (const std::string ellipsis : {"...", "\u2026"}) {
        SCOPED_TRACE(ellipsis);
        const std::string text = "Call 到了以后请" + ellipsis;
        const double cells = static_cast<double>(unicode::graphemeClusters(text).size());
        FakeObservation preview(1, text, 0.9f, {0.1, 0.5, 0.01 * cells, 0.05});
        const auto regions = run({&preview}, settings);
        ASSERT_EQ(regions.size(), 1u);
        ASSERT_EQ(regions[0].selections.size(), 1u);
        const TextSelection& han = regions[0].selections[0];
        EXPECT_EQ(han.text, "到了以后请") << "the text is the run's";
        expectNear(han.rect, {5 / cells, 0, (cells - 5) / cells, 1});
    }
    // Two full stops are no ellipsis.
    FakeObservation stops(2, "Call 到了以后请..", 0.9f, {0.1, 0.5, 0.12, 0.05});
    const auto regions = run({&stops}, settings);
    ASSERT_EQ(regions[0].selections.size(), 1u);
    expectNear(regions[0].selections[0].rect, {5 / 12.0, 0, 5 / 12.0, 1});
}

TEST(TextRecognizerRegions, SelectionsWithoutUsableBoxAreDroppedButTheRegionStays)
{
    // Squeezed to nothing: the neighbours' boxes cover the whole address.
    FakeObservation squeezed(1, "x a@b.io y", 0.9f, {0.0, 0.5, 1.0, 0.05});
    squeezed.cell(0, ObservationBox{0.0, 0.5, 0.6, 0.05}).cell(9, ObservationBox{0.55, 0.5, 0.45, 0.05});
    // No box for the match, or a failing one.
    FakeObservation absent(2, "mail a@b.io now", 0.9f, {0.0, 0.4, 1.0, 0.05});
    absent.absentFor({5, 11});
    FakeObservation failing(3, "mail a@b.io now", 0.9f, {0.0, 0.3, 1.0, 0.05});
    failing.failFor({5, 11});
    auto regions = run({&squeezed, &absent, &failing}, emailsAndPhones());
    ASSERT_EQ(regions.size(), 3u);
    for (const auto& r : regions)
        EXPECT_TRUE(r.selections.empty()) << r.text;
}

TEST(TextRecognizerRegions, DuplicateReadingsMergeAboveIoUOfSixtyFivePercent)
{
    // Boxes sharing their top-left corner: IoU is the ratio of the widths
    // (with a height of 0.4 it comes out as exactly 0.65 in doubles).
    FakeObservation first(1, "Inbox", 0.8f, {0.0, 0.6, 1.0, 0.4});
    FakeObservation other(2, "Other", 0.9f, {0.0, 0.0, 0.5, 0.25});
    FakeObservation overlap70(3, "Inbox", 0.95f, {0.0, 0.6, 0.7, 0.4});
    FakeObservation overlap65(4, "Inbox", 0.95f, {0.0, 0.6, 0.65, 0.4});
    FakeObservation lessSure(5, "Inbox", 0.7f, {0.0, 0.6, 0.7, 0.4});
    FakeObservation differentText(6, "Inbax", 0.95f, {0.0, 0.6, 1.0, 0.4});

    auto merged = run({&first, &other, &overlap70}, ScanSettings{});
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_EQ(merged[0].text, "Inbox"); // in the first one's place...
    EXPECT_FLOAT_EQ(merged[0].confidence, 0.95f); // ...with the more confident reading
    EXPECT_NEAR(merged[0].rect.width, 0.7, 1e-12);
    EXPECT_EQ(merged[1].text, "Other");

    auto apart = run({&first, &other, &overlap65}, ScanSettings{});
    ASSERT_EQ(apart.size(), 3u);

    auto dropped = run({&first, &lessSure}, ScanSettings{});
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_FLOAT_EQ(dropped[0].confidence, 0.8f);

    EXPECT_EQ(run({&first, &differentText}, ScanSettings{}).size(), 2u);
}

TEST(TextRecognizerRegions, LoneUncertainHanCharacterNeedsANeighbour)
{
    const double h = 0.05;
    FakeObservation lone(1, "字", 0.3f, {0.4, 0.4, h / kAspect, h});
    FakeObservation neighbour(2, "设置选项", 0.9f, {0.4 + h / kAspect + 0.01, 0.4, 0.1, h});
    FakeObservation farAway(3, "设置选项", 0.9f, {0.4, 0.1, 0.1, h});
    ScanSettings han;
    han.blurHan = true;
    EXPECT_TRUE(run({&lone, &farAway}, han).size() == 1u);
    auto regions = run({&lone, &neighbour}, han);
    ASSERT_EQ(regions.size(), 2u);
    EXPECT_EQ(regions[0].text, "字");
    ASSERT_EQ(regions[0].selections.size(), 1u);
    EXPECT_EQ(regions[0].selections[0].kind, RedactionKind::han);
}

TEST(TextRecognizerRegions, AddressWrappedOverTwoLinesIsSelectedOnBoth)
{
    // Characters 0.02 wide; the upper line (origin lower left) sits above.
    FakeObservation upper(1, "Write to ava.thompson@", 0.9f, {0.1, 0.6, 0.44, 0.04});
    FakeObservation lower(2, "northlight.example.com today", 0.9f, {0.1, 0.55, 0.56, 0.04});
    auto regions = run({&upper, &lower}, emailsAndPhones());
    ASSERT_EQ(regions.size(), 2u);
    ASSERT_EQ(regions[0].selections.size(), 1u);
    EXPECT_EQ(regions[0].selections[0].kind, RedactionKind::email);
    EXPECT_EQ(regions[0].selections[0].text, "ava.thompson@");
    expectNear(regions[0].selections[0].rect, {0.18 / 0.44, 0, 0.26 / 0.44, 1});
    ASSERT_EQ(regions[1].selections.size(), 1u);
    EXPECT_EQ(regions[1].selections[0].kind, RedactionKind::email);
    EXPECT_EQ(regions[1].selections[0].text, "northlight.example.com");
    expectNear(regions[1].selections[0].rect, {0, 0, 0.44 / 0.56, 1});

    // The lower part is an address on its own: it is selected once.
    FakeObservation hyphenated(3, "Page the team at ops-", 0.9f, {0.1, 0.6, 0.42, 0.04});
    FakeObservation address(4, "alerts@example.com today", 0.9f, {0.1, 0.55, 0.48, 0.04});
    regions = run({&hyphenated, &address}, emailsAndPhones());
    ASSERT_EQ(regions.size(), 2u);
    ASSERT_EQ(regions[0].selections.size(), 1u);
    EXPECT_EQ(regions[0].selections[0].text, "ops-");
    ASSERT_EQ(regions[1].selections.size(), 1u);
    EXPECT_EQ(regions[1].selections[0].text, "alerts@example.com");

    // All-text mode selects each line once, as before.
    ScanSettings all;
    all.allText = true;
    regions = run({&upper, &lower}, all);
    ASSERT_EQ(regions.size(), 2u);
    for (const auto& region : regions) {
        ASSERT_EQ(region.selections.size(), 1u);
        EXPECT_EQ(region.selections[0].text, region.text);
    }
}

TEST(TextRecognizerRegions, StackedLinesThatDoNotContinueEachOtherStayApart)
{
    // A column of amounts: joined they would read as a phone number.
    FakeObservation first(1, "2019", 0.9f, {0.1, 0.6, 0.08, 0.04});
    FakeObservation second(2, "12.50", 0.9f, {0.1, 0.55, 0.1, 0.04});
    FakeObservation third(3, "13.75", 0.9f, {0.1, 0.5, 0.1, 0.04});
    // A short line over a full one: "5678" would have fitted after "1234".
    FakeObservation order(4, "Order 1234", 0.9f, {0.1, 0.3, 0.2, 0.04});
    FakeObservation items(5, "5678 items were shipped to the depot today", 0.9f, {0.1, 0.25, 0.84, 0.04});
    auto regions = run({&first, &second, &third, &order, &items}, emailsAndPhones());
    ASSERT_EQ(regions.size(), 5u);
    for (const auto& region : regions)
        EXPECT_TRUE(region.selections.empty()) << region.text;
}

// ---- with the OCR engine on rendered pictures -------------------------------

class TextRecognizerOcr : public testing::OcrSuite {
};

// A selection's box in pixels of a width x height frame.
cv::Rect2d framePixels(const DetectedRegion& region, const TextSelection& selection, int width, int height)
{
    const auto& r = region.rect;
    const auto& s = selection.rect;
    return {(r.x + s.x * r.width) * width, (r.y + s.y * r.height) * height, s.width * r.width * width,
            s.height * r.height * height};
}

// The selection box covers the ink and reaches into the words around it by
// at most one average character width. Character boundaries come from the
// recogniser's timesteps, good to about a pixel or a tenth of a character
// (`slack`, in character widths).
void expectCoversInk(const cv::Rect2d& box, const cv::Rect& ink, double characterWidth, const cv::Rect& before,
                     const cv::Rect& after, double slack = 0.1)
{
    const double tolerance = std::max(1.0, slack * characterWidth);
    EXPECT_LE(box.x, ink.x + tolerance);
    EXPECT_GE(box.x + box.width, ink.br().x - tolerance);
    EXPECT_LE(box.y, ink.y + 1.0);
    EXPECT_GE(box.y + box.height, ink.br().y - 1.0);
    if (!before.empty()) {
        EXPECT_LE(before.br().x - box.x, characterWidth);
    }
    if (!after.empty()) {
        EXPECT_LE(box.x + box.width - after.x, characterWidth);
    }
}

std::string withoutSpaces(std::string s)
{
    s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
    return s;
}

TEST_F(TextRecognizerOcr, EmailInsideASentenceIsOneSelectionCoveringTheAddress)
{
    const bool dark[] = {false, true};
    for (bool darkTheme : dark) {
        TextCanvas canvas(640, 120, darkTheme ? cv::Scalar(40, 34, 30) : cv::Scalar(255, 255, 255));
        const std::string line = "Please write to alice.martin@example.com before Friday";
        const cv::Point at(24, 60);
        const auto address = line.find("alice");
        const auto addressEnd = line.find(" before");
        canvas.draw(line, at, 16, Font::sans, darkTheme ? cv::Scalar(230, 230, 230) : cv::Scalar(30, 30, 30));
        const cv::Rect ink = canvas.inkOf(line, address, addressEnd, at, 16, Font::sans);
        const cv::Rect before = canvas.inkOf(line, address - 3, address - 1, at, 16, Font::sans); // "to"
        const cv::Rect after = canvas.inkOf(line, addressEnd + 1, addressEnd + 7, at, 16, Font::sans);

        TextRecognizer recognizer(engine_);
        auto regions = recognizer.recognize(canvas.image(), emailsAndPhones());
        ASSERT_EQ(regions.size(), 1u) << (darkTheme ? "dark" : "light");
        ASSERT_EQ(regions[0].selections.size(), 1u) << regions[0].text;
        const auto& s = regions[0].selections[0];
        EXPECT_EQ(s.kind, RedactionKind::email);
        EXPECT_EQ(s.text, "alice.martin@example.com");
        expectCoversInk(framePixels(regions[0], s, 640, 120), ink, ink.width / 24.0, before, after);
    }
}

TEST_F(TextRecognizerOcr, PhoneNumberWithPlusParenthesesSpacesAndHyphen)
{
    TextCanvas canvas(560, 100, cv::Scalar(250, 250, 250));
    const std::string line = "Call +1 (415) 555-0199 for support";
    const cv::Point at(20, 55);
    canvas.draw(line, at, 17, Font::sans, cv::Scalar(20, 20, 20));
    const auto start = line.find('+');
    const auto end = line.find(" for");
    const cv::Rect ink = canvas.inkOf(line, start, end, at, 17, Font::sans);
    const cv::Rect before = canvas.inkOf(line, 0, 4, at, 17, Font::sans);
    const cv::Rect after = canvas.inkOf(line, end + 1, end + 4, at, 17, Font::sans);

    auto regions = TextRecognizer(engine_).recognize(canvas.image(), emailsAndPhones());
    ASSERT_EQ(regions.size(), 1u);
    ASSERT_EQ(regions[0].selections.size(), 1u) << regions[0].text;
    const auto& s = regions[0].selections[0];
    EXPECT_EQ(s.kind, RedactionKind::phone);
    // The recogniser may drop the spaces; the characters must be exact.
    EXPECT_EQ(withoutSpaces(s.text), "+1(415)555-0199");
    expectCoversInk(framePixels(regions[0], s, 560, 100), ink, ink.width / 17.0, before, after);
}

TEST_F(TextRecognizerOcr, ChineseSentenceYieldsHanSelections)
{
    TextCanvas canvas(480, 100, cv::Scalar(255, 255, 255));
    const std::string line = "会议记录：下午三点在二楼开会";
    const cv::Point at(20, 58);
    canvas.draw(line, at, 20, Font::simplifiedChinese, cv::Scalar(0, 0, 0));
    const std::size_t colon = line.find("：");
    const cv::Rect firstInk = canvas.inkOf(line, 0, colon, at, 20, Font::simplifiedChinese);
    const cv::Rect secondInk = canvas.inkOf(line, colon + 3, line.size(), at, 20, Font::simplifiedChinese);

    ScanSettings han;
    han.blurHan = true;
    auto regions = TextRecognizer(engine_).recognize(canvas.image(), han);
    ASSERT_EQ(regions.size(), 1u);
    const auto& r = regions[0];
    ASSERT_EQ(r.selections.size(), 2u) << r.text;
    EXPECT_EQ(r.selections[0].text, "会议记录");
    EXPECT_EQ(r.selections[1].text, "下午三点在二楼开会");
    for (const auto& s : r.selections)
        EXPECT_EQ(s.kind, RedactionKind::han);
    // The full-width colon between the runs draws its ink off the centre of
    // its cell, which moves the estimated boundaries by up to 0.15 characters.
    const double cw = secondInk.width / 9.0;
    expectCoversInk(framePixels(r, r.selections[0], 480, 100), firstInk, cw, {}, secondInk, 0.15);
    expectCoversInk(framePixels(r, r.selections[1], 480, 100), secondInk, cw, firstInk, {}, 0.15);
}

TEST_F(TextRecognizerOcr, PunctuationOnlyLineYieldsNoRegion)
{
    TextCanvas canvas(400, 90, cv::Scalar(255, 255, 255));
    canvas.draw("... --- !!! *** ???", {20, 50}, 20, Font::sans, cv::Scalar(0, 0, 0));
    ScanSettings all;
    all.allText = true;
    EXPECT_TRUE(TextRecognizer(engine_).recognize(canvas.image(), all).empty());
    // An empty frame has no lines at all.
    TextCanvas blank(200, 100, cv::Scalar(255, 255, 255));
    EXPECT_TRUE(TextRecognizer(engine_).recognize(blank.image(), all).empty());
}

TEST_F(TextRecognizerOcr, WideIconGlyphBeforeAWordIsLeftOut)
{
    // An "M" stretched to 3.5 times its width stands in for an icon that the
    // recogniser reads as a letter; at its normal width it is a word.
    auto render = [](double stretch) {
        TextCanvas canvas(480, 100, cv::Scalar(255, 255, 255));
        TextCanvas glyph(80, 60, cv::Scalar(255, 255, 255));
        const cv::Rect ink = glyph.draw("M", {10, 40}, 20, Font::sans, cv::Scalar(0, 0, 0));
        cv::Mat wide;
        cv::resize(glyph.pixels()(ink), wide, {static_cast<int>(ink.width * stretch), ink.height}, 0, 0,
                   cv::INTER_LINEAR);
        wide.copyTo(canvas.pixels()(cv::Rect(120, 60 - ink.height, wide.cols, wide.rows)));
        canvas.draw("Settings", {120 + wide.cols + 7, 60}, 20, Font::sans, cv::Scalar(0, 0, 0));
        return canvas.image();
    };
    ScanSettings all;
    all.allText = true;
    TextRecognizer recognizer(engine_);
    auto icon = recognizer.recognize(render(3.5), all);
    ASSERT_EQ(icon.size(), 1u);
    EXPECT_EQ(icon[0].text, "Settings");
    ASSERT_EQ(icon[0].selections.size(), 1u);
    EXPECT_EQ(icon[0].selections[0].text, "Settings");
    auto letter = recognizer.recognize(render(1.0), all);
    ASSERT_EQ(letter.size(), 1u);
    EXPECT_EQ(letter[0].text, "M Settings");
    // The icon's region starts after it.
    EXPECT_GT(icon[0].rect.x, letter[0].rect.x);
}

TEST_F(TextRecognizerOcr, ReadsLinesFromTheFullResolutionFrame)
{
    // 13 px text on a 1920-wide frame; lines are found on a 1280-wide raster.
    TextCanvas canvas(1920, 150, cv::Scalar(255, 255, 255));
    const std::string line = "Reply to bob.lee+news@mail.example.org today";
    const cv::Point at(40, 80);
    canvas.draw(line, at, 13, Font::sans, cv::Scalar(40, 40, 40));
    const cv::Rect ink = canvas.inkOf(line, 9, line.find(" today"), at, 13, Font::sans);
    Image full = canvas.image();
    cv::Mat half;
    cv::resize(full.pixels, half, {1280, 100}, 0, 0, cv::INTER_AREA);

    auto regions = TextRecognizer(engine_).recognize(Image(half), emailsAndPhones(), &full);
    ASSERT_EQ(regions.size(), 1u);
    ASSERT_EQ(regions[0].selections.size(), 1u) << regions[0].text;
    EXPECT_EQ(regions[0].selections[0].text, "bob.lee+news@mail.example.org");
    const cv::Rect2d box = framePixels(regions[0], regions[0].selections[0], 1920, 150);
    expectCoversInk(box, ink, ink.width / 29.0, {}, {});
}

// Share of `ink` that `box` covers.
double coverage(const cv::Rect2d& box, const cv::Rect& ink)
{
    return ink.empty() ? 1.0 : (box & cv::Rect2d(ink)).area() / ink.area();
}

// The byte range of the character that starts at `begin` in UTF-8 `text`.
std::pair<std::size_t, std::size_t> characterAt(const std::string& text, std::size_t begin)
{
    std::size_t end = begin + 1;
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        ++end;
    return {begin, end};
}

// The byte range of the character that ends at `end` in UTF-8 `text`.
std::pair<std::size_t, std::size_t> characterBefore(const std::string& text, std::size_t end)
{
    std::size_t begin = end - 1;
    while (begin > 0 && (static_cast<unsigned char>(text[begin]) & 0xC0) == 0x80)
        --begin;
    return {begin, end};
}

// Every e-mail, phone and Han span's selection takes in the whole ink of
// the span, its first and last glyph included, in Latin and CJK type from
// 12 to 32 px, light and dark; it takes in less than half of the glyphs
// beside it.
TEST_F(TextRecognizerOcr, SelectionsTakeInTheWholeInkOfTheirEndCharactersAndNotTheirNeighbours)
{
    // Spans between spaces and right against other characters: brackets,
    // punctuation, full-width colons, Latin letters beside Han ones.
    struct Span {
        const char* text;
        RedactionKind kind;
    };
    struct Line {
        std::string text;
        std::vector<Span> spans;
    };
    const std::vector<Line> latin = {
        {"Write to ann.lee@example.com or call +44 20 7946 0958 now",
         {{"ann.lee@example.com", RedactionKind::email}, {"+44 20 7946 0958", RedactionKind::phone}}},
        {"mail:<bob_k@mail.example.net>, tel:(021) 6543-2100.",
         {{"bob_k@mail.example.net", RedactionKind::email}, {"021) 6543-2100", RedactionKind::phone}}},
    };
    const std::vector<Line> chinese = {
        {"联系人：王小明，邮箱：wang.xm@example.cn",
         {{"联系人", RedactionKind::han}, {"王小明", RedactionKind::han}, {"邮箱", RedactionKind::han},
          {"wang.xm@example.cn", RedactionKind::email}}},
        {"请使用Linux系统拨打13812345678查询",
         {{"请使用", RedactionKind::han}, {"系统拨打", RedactionKind::han}, {"13812345678", RedactionKind::phone},
          {"查询", RedactionKind::han}}},
    };
    ScanSettings settings;
    settings.blurHan = true;
    settings.blurEmails = true;
    settings.blurPhones = true;
    const TextRecognizer recognizer(engine_);

    for (const Font font : {Font::sans, Font::mono, Font::simplifiedChinese}) {
        const auto& lines = font == Font::simplifiedChinese ? chinese : latin;
        for (const int size : {12, 16, 22, 32}) {
            SCOPED_TRACE(::testing::Message() << (font == Font::sans ? "sans" : font == Font::mono ? "mono" : "CJK")
                                              << ", " << size << " px");
            const bool dark = size == 16;
            const int width = 1300, height = 5 * size + 40;
            TextCanvas canvas(width, height, dark ? cv::Scalar(40, 34, 30) : cv::Scalar(255, 255, 255));
            std::vector<cv::Point> baselines;
            for (std::size_t i = 0; i < lines.size(); ++i) {
                baselines.emplace_back(16, 20 + size + static_cast<int>(i) * 5 * size / 2);
                canvas.draw(lines[i].text, baselines.back(), size, font,
                            dark ? cv::Scalar(225, 225, 225) : cv::Scalar(20, 20, 20));
            }
            const auto regions = recognizer.recognize(canvas.image(), settings);
            for (std::size_t i = 0; i < lines.size(); ++i) {
                const std::string& text = lines[i].text;
                const auto inkOf = [&](std::pair<std::size_t, std::size_t> bytes) {
                    return canvas.inkOf(text, bytes.first, bytes.second, baselines[i], size, font);
                };
                for (const Span& span : lines[i].spans) {
                    SCOPED_TRACE(span.text);
                    const std::size_t begin = text.find(span.text);
                    const std::size_t end = begin + std::strlen(span.text);
                    const cv::Rect ink = inkOf({begin, end});
                    // The selection of this kind over the middle of the span's ink.
                    const cv::Point2d middle(ink.x + ink.width / 2.0, ink.y + ink.height / 2.0);
                    std::optional<cv::Rect2d> box;
                    for (const auto& region : regions)
                        for (const auto& s : region.selections)
                            if (s.kind == span.kind && framePixels(region, s, width, height).contains(middle)) {
                                EXPECT_EQ(withoutSpaces(s.text), withoutSpaces(span.text));
                                box = framePixels(region, s, width, height);
                            }
                    if (!box) {
                        ADD_FAILURE() << "no selection over the span";
                        continue;
                    }
                    EXPECT_GE(coverage(*box, ink), 0.98) << "box " << *box << ", ink " << ink;
                    for (const auto& glyph : {inkOf(characterAt(text, begin)), inkOf(characterBefore(text, end))}) {
                        EXPECT_GE(coverage(*box, glyph), 0.98) << "box " << *box << ", end glyph " << glyph;
                    }
                    // The nearest characters outside the span that are not spaces.
                    std::size_t before = begin;
                    while (before > 0 && text[before - 1] == ' ')
                        --before;
                    std::size_t after = end;
                    while (after < text.size() && text[after] == ' ')
                        ++after;
                    if (before > 0) {
                        const cv::Rect glyph = inkOf(characterBefore(text, before));
                        EXPECT_LT(coverage(*box, glyph), 0.5) << "box " << *box << ", neighbour before " << glyph;
                    }
                    if (after < text.size()) {
                        const cv::Rect glyph = inkOf(characterAt(text, after));
                        EXPECT_LT(coverage(*box, glyph), 0.5) << "box " << *box << ", neighbour after " << glyph;
                    }
                }
            }
        }
    }
}

TEST_F(TextRecognizerOcr, ConcurrentCallsGiveTheSameResult)
{
    TextCanvas canvas(480, 120, cv::Scalar(255, 255, 255));
    canvas.draw("Order 12345678 shipped", {20, 40}, 16, Font::sans, cv::Scalar(0, 0, 0));
    canvas.draw("mail: ops@example.net", {20, 90}, 16, Font::sans, cv::Scalar(0, 0, 0));
    const Image image = canvas.image();
    TextRecognizer recognizer(engine_);
    const auto alone = recognizer.recognize(image, emailsAndPhones());
    ASSERT_EQ(alone.size(), 2u);
    auto a = std::async(std::launch::async, [&] { return recognizer.recognize(image, emailsAndPhones()); });
    auto b = std::async(std::launch::async, [&] { return recognizer.recognize(image, emailsAndPhones()); });
    EXPECT_EQ(a.get(), alone);
    EXPECT_EQ(b.get(), alone);
}

} // namespace
} // namespace scrivel
