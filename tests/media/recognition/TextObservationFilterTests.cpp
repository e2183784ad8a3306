#include "recognition/TextObservationFilter.hpp"

#include <gtest/gtest.h>

#include "support/FakeObservation.hpp"

namespace scrivel {
namespace {

using testing::FakeObservation;
using TextObservationFilter::Line;
using Range = TextMatcher::CharacterRange;

constexpr double kAspect = 16.0 / 9.0;

// A line box well inside the frame.
constexpr ObservationBox kInside{0.3, 0.5, 0.2, 0.0625};

struct Call {
    std::vector<Line> neighbours;
    int evaluations = 0;

    TextObservationFilter::Neighbors list()
    {
        return [this] {
            ++evaluations;
            return neighbours;
        };
    }
};

TextObservationFilter::CharacterBox uniformBoxes(const ObservationBox& line, std::size_t count)
{
    return [line, count](Range r) -> std::optional<ObservationBox> {
        const double w = line.width / static_cast<double>(count);
        return ObservationBox{line.x + w * static_cast<double>(r.lower), line.y,
                              w * static_cast<double>(r.upper - r.lower), line.height};
    };
}

std::optional<Range> accept(std::string_view text, float confidence, ObservationBox rect, Call& call,
                            TextObservationFilter::CharacterBox box = {})
{
    if (!box)
        box = uniformBoxes(rect, unicode::graphemeClusters(text).size());
    return TextObservationFilter::acceptedRange(text, confidence, rect, call.list(), kAspect, box);
}

TEST(TextObservationFilter, KeepsLinesWithLettersDigitsOrHanAndDropsTheRest)
{
    struct Case {
        const char* text;
        bool kept;
    };
    const Case cases[] = {
        {"Hello world", true}, {"2024", true}, {"٣٤٥", true}, {"设置", true}, {"Ωμέγα", true},
        {"...", false},        {"—— !? ——", false}, {"→ • ©", false}, {"   ", false}, {"", false},
        {"½ ²", false}, // numbers, but not decimal digits
    };
    for (const auto& c : cases) {
        Call call;
        auto range = accept(c.text, 0.9f, kInside, call);
        EXPECT_EQ(range.has_value(), c.kept) << c.text;
        if (range) {
            EXPECT_EQ(range->lower, 0u) << c.text;
            EXPECT_EQ(range->upper, unicode::graphemeClusters(c.text).size()) << c.text;
        }
        EXPECT_EQ(call.evaluations, 0) << c.text;
    }
}

// The character "A" is the icon: its box is `iconWidth` wide (normalised x);
// every other character is narrow and as tall as the line.
TextObservationFilter::CharacterBox iconBoxes(std::string_view text, const ObservationBox& line, double iconWidth)
{
    auto clusters = unicode::graphemeClusters(text);
    return [=](Range r) -> std::optional<ObservationBox> {
        if (clusters.at(r.lower).text == "A")
            return ObservationBox{line.x, line.y, iconWidth, line.height};
        return ObservationBox{line.x + iconWidth + 0.001 * static_cast<double>(r.lower), line.y, 0.001, line.height};
    };
}

TEST(TextObservationFilter, CutsOffALeadingIconReadAsALetter)
{
    const double h = kInside.height;
    // Width in image heights is width * aspect; the icon threshold is 1.5 heights.
    const double wide = 1.6 * h / kAspect;
    const double narrow = 1.4 * h / kAspect;
    struct Case {
        const char* text;
        double iconWidth;
        ObservationBox rect;
        std::optional<std::size_t> start; // none: dropped
    };
    const ObservationBox nearLeftEdge{0.005, 0.5, 0.2, h};
    const Case cases[] = {
        {"A Settings", wide, kInside, 2},
        {"A   Settings", wide, kInside, 4},     // every space after the icon goes too
        {"  A Settings", wide, kInside, 4},     // spaces before the icon are allowed
        {"A Settings", narrow, kInside, 0},     // an ordinary letter
        {"(A Settings", wide, kInside, 0},      // something other than space before it
        {"ASettings", wide, kInside, 0},        // no space after it
        {"A Go", wide, kInside, 2},             // three text characters are enough...
        {"A G", wide, kInside, 0},              // ...two are not enough
        {"A Settings", wide, nearLeftEdge, 0},  // too close to the frame edge to judge
        {"A !!", wide, kInside, 0},             // fewer than three text characters
    };
    for (const auto& c : cases) {
        Call call;
        auto range = accept(c.text, 0.9f, c.rect, call, iconBoxes(c.text, c.rect, c.iconWidth));
        const auto length = unicode::graphemeClusters(c.text).size();
        ASSERT_EQ(range.has_value(), c.start.has_value()) << c.text;
        EXPECT_EQ(range->lower, *c.start) << c.text;
        EXPECT_EQ(range->upper, length) << c.text;
    }
}

TEST(TextObservationFilter, IconCheckUsesTheUpperMedianOfAtMostEightFollowingHeights)
{
    // Heights of the characters after the icon: 1, 2, 3, 4 (x 0.01); the
    // median is the upper middle value, 3. Characters beyond the eighth
    // following text character are not sampled.
    const ObservationBox rect{0.3, 0.5, 0.3, 0.05};
    const std::string text = "A bcde";
    auto boxes = [&](double iconWidthHeights, std::vector<double> heights) {
        return [=](Range r) -> std::optional<ObservationBox> {
            if (r.lower == 0)
                return ObservationBox{rect.x, rect.y, iconWidthHeights / kAspect, rect.height};
            const double height = heights.at(r.lower - 2);
            return ObservationBox{rect.x + 0.05, rect.y, 0.005, height};
        };
    };
    const std::vector<double> heights{0.01, 0.02, 0.03, 0.04};
    Call call;
    // 1.5 * 0.03 = 0.045: an icon of 0.04 image heights is not wide enough...
    EXPECT_EQ(accept(text, 0.9f, rect, call, boxes(0.04, heights))->lower, 0u);
    // ...one of 0.05 is (with the lower median, 0.02, both would be).
    EXPECT_EQ(accept(text, 0.9f, rect, call, boxes(0.05, heights))->lower, 2u);

    // Ten following characters; only the first eight are sampled. With all
    // ten the median would be 1.0 and the icon too narrow.
    const std::string longText = "A bcdefghijk";
    const std::vector<double> tall{0.01, 1.0, 0.01, 1.0, 0.01, 1.0, 0.01, 0.01, 1.0, 1.0};
    EXPECT_EQ(accept(longText, 0.9f, rect, call, boxes(0.05, tall))->lower, 2u);

    // Characters without a box or with no height are left out of the median:
    // the heights are 0.03 and 0.04, median 0.04, too tall for a 0.05 icon
    // (counting a zero would make the median 0.03 and cut it).
    auto sparse = [&](Range r) -> std::optional<ObservationBox> {
        if (r.lower == 0)
            return ObservationBox{rect.x, rect.y, 0.05 / kAspect, rect.height};
        if (r.lower == 2)
            return std::nullopt;
        if (r.lower == 3)
            return ObservationBox{rect.x, rect.y, 0.01, 0.0};
        return ObservationBox{rect.x, rect.y, 0.01, r.lower == 4 ? 0.03 : 0.04};
    };
    EXPECT_EQ(accept(text, 0.9f, rect, call, sparse)->lower, 0u);

    // No box for the icon itself, or none for any other character: the line stays whole.
    auto noIcon = [&](Range r) -> std::optional<ObservationBox> {
        if (r.lower == 0)
            return std::nullopt;
        return ObservationBox{rect.x, rect.y, 0.01, 0.02};
    };
    EXPECT_EQ(accept(text, 0.9f, rect, call, noIcon)->lower, 0u);
    auto onlyIcon = [&](Range r) -> std::optional<ObservationBox> {
        if (r.lower == 0)
            return ObservationBox{rect.x, rect.y, 0.5, rect.height};
        return std::nullopt;
    };
    EXPECT_EQ(accept(text, 0.9f, rect, call, onlyIcon)->lower, 0u);
}

TEST(TextObservationFilter, UncertainHanIconNeedsOnlyOneAndAQuarterHeights)
{
    const ObservationBox rect{0.3, 0.5, 0.3, 0.05};
    const std::string text = "图 设置选项";
    // 1.3 line heights wide: between the 1.25 and 1.5 factors.
    auto boxes = [&](Range r) -> std::optional<ObservationBox> {
        if (r.lower == 0)
            return ObservationBox{rect.x, rect.y, 1.3 * rect.height / kAspect, rect.height};
        return ObservationBox{rect.x + 0.1, rect.y, 0.02, rect.height};
    };
    Call call;
    EXPECT_EQ(accept(text, 0.5f, rect, call, boxes)->lower, 2u);
    EXPECT_EQ(accept(text, 0.51f, rect, call, boxes)->lower, 0u);
    // The smaller factor is for Han only.
    EXPECT_EQ(accept("A bcde", 0.4f, rect, call, boxes)->lower, 0u);
}

TEST(TextObservationFilter, LoneUncertainHanCharacter)
{
    Call call;
    const double h = 0.05;
    const ObservationBox square{0.4, 0.4, h / kAspect, h};
    // No neighbour: dropped, after looking at the neighbours exactly once.
    EXPECT_FALSE(accept("字", 0.3f, square, call));
    EXPECT_EQ(call.evaluations, 1);

    // Drawn wider than 1.25 times its height: dropped without looking at neighbours.
    Call wideCall;
    wideCall.neighbours = {Line{"设置选项", 0.9f, {0.45, 0.4, 0.1, h}}};
    EXPECT_FALSE(accept("字", 0.3f, {0.4, 0.4, 1.3 * h / kAspect, h}, wideCall));
    EXPECT_EQ(wideCall.evaluations, 0);

    // Closer to a frame edge than a quarter of its height: kept, no neighbours needed.
    for (ObservationBox nearEdge : {ObservationBox{0.4, 0.01, h / kAspect, h}, ObservationBox{0.4, 0.94, h / kAspect, h},
                                    ObservationBox{0.001, 0.4, h / kAspect, h}}) {
        Call edgeCall;
        EXPECT_TRUE(accept("字", 0.3f, nearEdge, edgeCall));
        EXPECT_EQ(edgeCall.evaluations, 0);
    }

    // Confident, or three text characters: kept without neighbours.
    Call sure;
    EXPECT_TRUE(accept("字", 0.5f, square, sure));
    EXPECT_TRUE(accept("字母表", 0.3f, {0.4, 0.4, 3 * h / kAspect, h}, sure));
    EXPECT_EQ(sure.evaluations, 0);

    // A qualifying neighbour on the same row keeps it.
    Call withNeighbour;
    withNeighbour.neighbours = {Line{"设置选项", 0.9f, {square.maxX() + 0.01, 0.4, 0.1, h}}};
    EXPECT_TRUE(accept("字", 0.3f, square, withNeighbour));
    EXPECT_EQ(withNeighbour.evaluations, 1);
}

TEST(TextObservationFilter, NeighbourRulesForShortUncertainLines)
{
    // Heights chosen so the ratios 0.8 and 1.25 are exact in binary.
    const double h = 0.0625;
    const ObservationBox rect{0.4, 0.4, 0.05, h};
    const double gapAtLimit = 2 * h / kAspect; // two line heights, in image widths
    struct Case {
        const char* what;
        Line neighbour;
        bool kept;
    };
    const Case cases[] = {
        {"qualifies", {"OK go", 0.9f, {rect.maxX() + 0.01, 0.4, 0.1, h}}, true},
        {"on the left", {"OK go", 0.9f, {rect.minX() - 0.11, 0.4, 0.1, h}}, true},
        {"overlapping", {"OK go", 0.9f, {0.38, 0.4, 0.2, h}}, true},
        {"confidence exactly 0.5", {"OK go", 0.5f, {rect.maxX(), 0.4, 0.1, h}}, true},
        {"not confident", {"OK go", 0.49f, {rect.maxX(), 0.4, 0.1, h}}, false},
        {"one text character", {"A ...", 0.9f, {rect.maxX(), 0.4, 0.1, h}}, false},
        {"height ratio 0.8", {"OK go", 0.9f, {rect.maxX(), 0.4, 0.1, 0.078125}}, true},
        {"height ratio 1.25", {"OK go", 0.9f, {rect.maxX(), 0.4, 0.1, 0.05}}, true},
        {"too tall", {"OK go", 0.9f, {rect.maxX(), 0.4, 0.1, 0.08}}, false},
        {"too short", {"OK go", 0.9f, {rect.maxX(), 0.4, 0.1, 0.049}}, false},
        {"flat box", {"OK go", 0.9f, {rect.maxX(), 0.4, 0.1, 0}}, false},
        {"row offset within limit", {"OK go", 0.9f, {rect.maxX(), 0.4 + 0.19 * h, 0.1, h}}, true},
        {"other row", {"OK go", 0.9f, {rect.maxX(), 0.4 + 0.21 * h, 0.1, h}}, false},
        {"gap at limit", {"OK go", 0.9f, {rect.maxX() + gapAtLimit * 0.999, 0.4, 0.1, h}}, true},
        {"too far", {"OK go", 0.9f, {rect.maxX() + gapAtLimit * 1.01, 0.4, 0.1, h}}, false},
    };
    for (const auto& c : cases) {
        Call call;
        call.neighbours = {c.neighbour};
        auto range = accept("ab", 0.3f, rect, call);
        EXPECT_EQ(range.has_value(), c.kept) << c.what;
        EXPECT_EQ(call.evaluations, 1) << c.what;
        if (range) {
            EXPECT_EQ(range->lower, 0u);
            EXPECT_EQ(range->upper, 2u);
        }
    }

    // The first qualifying neighbour in the list is enough.
    Call several;
    several.neighbours = {cases[4].neighbour, cases[5].neighbour, cases[0].neighbour};
    EXPECT_TRUE(accept("ab", 0.3f, rect, several));
    EXPECT_EQ(several.evaluations, 1);
}

TEST(TextObservationFilter, ObservationOverloadBuildsNeighboursFromTheOtherConfidentLines)
{
    const double h = 0.0625;
    FakeObservation lone(1, "ab", 0.3f, {0.4, 0.4, 0.05, h});
    FakeObservation self(1, "ab cd", 0.9f, {0.46, 0.4, 0.1, h}); // same identity: not a neighbour
    FakeObservation unsure(2, "ab cd", 0.49f, {0.46, 0.4, 0.1, h});
    FakeObservation unread(3, "ab cd", 0.9f, {0.46, 0.4, 0.1, h});
    unread.withoutReading();
    FakeObservation sure(4, "ab cd", 0.5f, {0.46, 0.4, 0.1, h});

    auto run = [&](std::vector<const TextObservation*> frame) {
        return TextObservationFilter::acceptedRange(*lone.topCandidate(), lone, frame, kAspect);
    };
    EXPECT_FALSE(run({&lone, &self, &unsure, &unread}));
    EXPECT_TRUE(run({&lone, &self, &unsure, &unread, &sure}));

    // A confident line never builds the list, nor asks for neighbour readings.
    FakeObservation confident(5, "ab", 0.9f, {0.4, 0.4, 0.05, h});
    EXPECT_TRUE(TextObservationFilter::acceptedRange(*confident.topCandidate(), confident,
                                                     std::vector<const TextObservation*>{&confident}, kAspect));
}

TEST(TextObservationFilter, FailingCharacterBoxesCountAsAbsent)
{
    FakeObservation line(1, "A Settings", 0.9f, {0.3, 0.5, 0.3, 0.05});
    line.cell(0, ObservationBox{0.3, 0.5, 0.2, 0.05}).failBoxes();
    std::vector<const TextObservation*> frame{&line};
    std::optional<Range> range;
    EXPECT_NO_THROW(range = TextObservationFilter::acceptedRange(*line.topCandidate(), line, frame, kAspect));
    ASSERT_TRUE(range);
    EXPECT_EQ(range->lower, 0u);
    EXPECT_GT(line.boxRequests, 0);

    // The same wide first character with working boxes is cut off.
    line.failBoxes(false);
    EXPECT_EQ(TextObservationFilter::acceptedRange(*line.topCandidate(), line, frame, kAspect)->lower, 2u);
}

} // namespace
} // namespace scrivel
