#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ScrivelCore/DetectionTimeline.hpp"
#include "ScrivelCore/NormalizedRect.hpp"
#include "ScrivelCore/ScanRecords.hpp"

namespace scrivel {

void PrintTo(const NormalizedRect& r, std::ostream* os)
{
    *os << "(" << r.x << ", " << r.y << ", " << r.width << ", " << r.height << ")";
}

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

DetectedRegion region(std::int64_t trackID, std::string text, std::vector<std::string> selectionTexts = {},
                      float confidence = 1)
{
    DetectedRegion r;
    r.rect = {0.1, 0.1, 0.5, 0.1};
    r.confidence = confidence;
    r.text = std::move(text);
    r.trackID = trackID;
    for (std::string& s : selectionTexts)
        r.selections.push_back({.rect = {0, 0, 1, 1}, .kind = RedactionKind::custom, .text = std::move(s)});
    return r;
}

DetectionSample sampleAt(double time, std::string label)
{
    return {time, 0, {region(1, std::move(label))}};
}

// ---------------------------------------------------------------- geometry

struct IouCase {
    const char* name;
    NormalizedRect a;
    NormalizedRect b;
    double expected;
};

TEST(NormalizedRectTest, IouCases)
{
    const IouCase cases[] = {
        {"two zero-area rectangles", {0.2, 0.2, 0, 0}, {0.2, 0.2, 0, 0}, 0},
        {"zero width against a real box", {0.2, 0.2, 0, 0.3}, {0, 0, 1, 1}, 0},
        {"negative extents count as empty", {0.5, 0.5, -0.2, -0.2}, {0.3, 0.3, 0.2, 0.2}, 0},
        {"identical", {0.1, 0.2, 0.3, 0.4}, {0.1, 0.2, 0.3, 0.4}, 1},
        {"half shifted", {0, 0, 0.5, 0.5}, {0.25, 0, 0.5, 0.5}, 0.125 / 0.375},
        {"touching edges", {0, 0, 0.5, 0.5}, {0.5, 0, 0.5, 0.5}, 0},
        {"disjoint", {0, 0, 0.1, 0.1}, {0.5, 0.5, 0.1, 0.1}, 0},
        {"contained", {0, 0, 1, 1}, {0.25, 0.25, 0.5, 0.5}, 0.25},
    };
    for (const IouCase& c : cases) {
        SCOPED_TRACE(c.name);
        const double forward = c.a.iou(c.b);
        EXPECT_FALSE(std::isnan(forward));
        EXPECT_DOUBLE_EQ(forward, c.expected);
        EXPECT_DOUBLE_EQ(c.b.iou(c.a), c.expected);
    }
}

struct ClampCase {
    const char* name;
    NormalizedRect input;
    NormalizedRect expected;
};

TEST(NormalizedRectTest, ClampedCases)
{
    const ClampCase cases[] = {
        {"inside stays", {0.125, 0.25, 0.375, 0.5}, {0.125, 0.25, 0.375, 0.5}},
        {"entirely left", {-2, 0.25, 1, 0.5}, {0, 0.25, 0, 0.5}},
        {"straddles the right edge", {0.75, 0.125, 0.5, 0.25}, {0.75, 0.125, 0.25, 0.25}},
        {"straddles the top edge", {0.125, -0.25, 0.5, 0.5}, {0.125, 0, 0.5, 0.25}},
        {"larger than the frame", {-1, -1, 3, 3}, {0, 0, 1, 1}},
        {"negative width", {0.5, 0.5, -0.25, 0.25}, {0.5, 0.5, 0, 0.25}},
        {"NaN x", {nan, 0.5, 0.25, 0.25}, {0, 0.5, 0, 0.25}},
        {"infinite height", {0.5, 0.5, 0.25, inf}, {0.5, 0.5, 0.25, 0.5}},
    };
    for (const ClampCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.input.clamped(), c.expected);
    }
}

// ---------------------------------------------------------------- mask rects

TEST(DetectedRegionTest, MaskRectsMapSelectionsIntoTheFrameInOrder)
{
    DetectedRegion line;
    line.rect = {0.25, 0.5, 0.5, 0.25};
    line.selections = {
        {.rect = {0.5, 0.25, 0.25, 0.5}, .kind = RedactionKind::email, .text = "b"},
        {.rect = {0, 0, 0.5, 1}, .kind = RedactionKind::han, .text = "a"},
    };
    const std::vector<NormalizedRect> expected = {
        {0.25 + 0.5 * 0.5, 0.5 + 0.25 * 0.25, 0.5 * 0.25, 0.25 * 0.5},
        {0.25, 0.5, 0.25, 0.25},
    };
    EXPECT_EQ(line.maskRects(), expected);
}

TEST(DetectedRegionTest, RegionWithoutSelectionsMasksNothing)
{
    EXPECT_TRUE(region(1, "plain line").maskRects().empty());
}

// ---------------------------------------------------------------- track summary

struct RepresentativeCase {
    const char* name;
    std::vector<std::string> texts; // one region per text, all one track
    std::string expected;
};

TEST(ScanResultTracksTest, RepresentativeTextPrefersCountThenAscendingOrder)
{
    const RepresentativeCase cases[] = {
        {"tie goes to the first in order", {"b", "a"}, "a"},
        {"tie regardless of arrival", {"a", "b"}, "a"},
        {"higher count wins", {"b", "a", "b"}, "b"},
        {"three-way tie", {"c", "b", "a"}, "a"},
        {"byte order: upper case first", {"a", "B"}, "B"},
        {"single", {"only"}, "only"},
    };
    for (const RepresentativeCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScanResult result;
        result.duration = 10;
        for (std::size_t i = 0; i < c.texts.size(); ++i)
            result.samples.push_back({double(i), 0, {region(7, c.texts[i], {c.texts[i]})}});
        const std::vector<DetectionTrack> tracks = result.tracks();
        ASSERT_EQ(tracks.size(), 1u);
        EXPECT_EQ(tracks[0].text, c.expected);
        EXPECT_EQ(tracks[0].selectedText, c.expected);
    }
}

TEST(ScanResultTracksTest, SelectedTextJoinsSelectionsWithMiddleDot)
{
    ScanResult result;
    result.duration = 3;
    result.samples = {
        {0, 0, {region(1, "line", {"x@y.z", "555 1234"})}},
        {1, 0, {region(2, "nothing to hide")}},
        {2, 0, {region(2, "nothing to hide"), region(2, "hide", {"hide"})}},
    };
    const std::vector<DetectionTrack> tracks = result.tracks();
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0].selectedText, "x@y.z \xC2\xB7 555 1234");
    // The empty join counts like any other key: two empties beat one "hide".
    EXPECT_EQ(tracks[1].selectedText, "");
    EXPECT_EQ(tracks[1].frameCount, 3);
}

TEST(ScanResultTracksTest, TimesCountsAndConfidence)
{
    ScanResult result;
    result.duration = 9.5;
    result.samples = {
        {1, 0, {region(3, "a", {}, 0.5f), region(-4, "neg")}},
        {2, 0, {}}, // skipped, but still ends the previous occurrence
        {3, 0, {region(3, "a", {}, 1.0f), region(0, "unassigned")}},
        {4, 0, {region(3, "a", {}, 0.25f)}},
        {5, 0, {}},
        {6, 0, {region(9, "last")}},
    };
    const std::vector<DetectionTrack> tracks = result.tracks();
    ASSERT_EQ(tracks.size(), 4u);

    EXPECT_EQ(tracks[0].id, -4);
    EXPECT_EQ(tracks[0].startTime, 1);
    EXPECT_EQ(tracks[0].endTime, 2);

    EXPECT_EQ(tracks[1].id, 0); // every id takes part, 0 included
    EXPECT_EQ(tracks[1].startTime, 3);
    EXPECT_EQ(tracks[1].endTime, 4);

    EXPECT_EQ(tracks[2].id, 3);
    EXPECT_EQ(tracks[2].frameCount, 3);
    EXPECT_EQ(tracks[2].startTime, 1);
    EXPECT_EQ(tracks[2].endTime, 5);
    EXPECT_FLOAT_EQ(tracks[2].confidence, 1.75f / 3);

    EXPECT_EQ(tracks[3].id, 9);
    EXPECT_EQ(tracks[3].startTime, 6);
    EXPECT_EQ(tracks[3].endTime, 9.5); // only in the last sample: ends at the duration
}

TEST(ScanResultTracksTest, NoRegionsNoTracks)
{
    ScanResult result;
    result.duration = 1;
    result.samples = {sampleAt(0, "x"), sampleAt(0.5, "y")};
    for (DetectionSample& sample : result.samples)
        sample.regions.clear();
    EXPECT_TRUE(result.tracks().empty());
}

// ---------------------------------------------------------------- timeline

std::string labelAt(const DetectionTimeline& timeline, double time)
{
    const std::vector<DetectedRegion>& regions = timeline.regions(time);
    return regions.empty() ? std::string("<none>") : regions.front().text;
}

TEST(DetectionTimelineTest, SortsStablyByTime)
{
    const DetectionTimeline timeline({sampleAt(2, "late"), sampleAt(1, "first"), sampleAt(1, "second")});
    ASSERT_EQ(timeline.samples().size(), 3u);
    EXPECT_EQ(timeline.samples()[0].regions[0].text, "first");
    EXPECT_EQ(timeline.samples()[1].regions[0].text, "second");
    EXPECT_EQ(timeline.samples()[2].regions[0].text, "late");
    // Of equal times the last one is in effect.
    EXPECT_EQ(labelAt(timeline, 1), "second");
}

TEST(DetectionTimelineTest, LookUpCases)
{
    const DetectionTimeline timeline({sampleAt(1, "one"), sampleAt(2, "two"), sampleAt(3, "three")});
    const struct {
        double time;
        const char* expected;
    } cases[] = {
        {0, "<none>"},
        {1 - 2e-7, "<none>"},
        {1 - 5e-8, "one"}, // within the tolerance before a sample
        {1, "one"},
        {1.5, "one"},
        {2 - 5e-8, "two"},
        {2 - 5e-7, "one"},
        {2.999, "two"},
        {3, "three"},
        {1e9, "three"},
        {nan, "<none>"},
        {inf, "<none>"},
        {-inf, "<none>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.time);
        EXPECT_EQ(labelAt(timeline, c.time), c.expected);
    }
}

TEST(DetectionTimelineTest, EmptyTimelineHasNoRegions)
{
    const DetectionTimeline timeline({});
    EXPECT_TRUE(timeline.regions(0).empty());
}

TEST(DetectionTimelineTest, NaNSampleTimesSortLastAndAreNeverInEffect)
{
    const DetectionTimeline timeline({sampleAt(nan, "bad"), sampleAt(1, "one")});
    EXPECT_EQ(timeline.samples()[0].regions[0].text, "one");
    EXPECT_EQ(labelAt(timeline, 1e9), "one");
}

} // namespace
} // namespace scrivel
