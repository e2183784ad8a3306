#include <gtest/gtest.h>

#include "ScrivelCore/TrackReview.hpp"

namespace scrivel {
namespace {

DetectedRegion region(std::int64_t track, std::vector<RedactionKind> kinds = {})
{
    DetectedRegion r;
    r.trackID = track;
    r.text = "line " + std::to_string(track);
    for (RedactionKind kind : kinds)
        r.selections.push_back({{0, 0, 1, 1}, kind, "span"});
    return r;
}

// Ten frames a second; track 1 in frames 0-2 and 6, track 2 in 3 and 9.
ScanResult clip()
{
    ScanResult result;
    result.duration = 1;
    result.frameRate = 10;
    for (int i = 0; i < 10; ++i) {
        DetectionSample sample{i / 10.0, 0, {}};
        if (i <= 2 || i == 6)
            sample.regions.push_back(region(1, i == 6 ? std::vector{RedactionKind::han} : std::vector<RedactionKind>{}));
        if (i == 3 || i == 9)
            sample.regions.push_back(region(2, {RedactionKind::all, RedactionKind::phone, RedactionKind::email}));
        sample.regions.push_back(region(3)); // read everywhere, hides nothing
        result.samples.push_back(sample);
    }
    return result;
}

TEST(TrackReview, KindsInGroupOrderAndOnlyForTracksThatHideSomething)
{
    const auto kinds = hiddenKindsByTrack(clip());
    ASSERT_EQ(kinds.size(), 2u);
    // Hiding something in one frame of many is enough to count.
    EXPECT_EQ(kinds.at(1), std::vector{RedactionKind::han});
    EXPECT_EQ(kinds.at(2), (std::vector{RedactionKind::email, RedactionKind::phone, RedactionKind::all}));
    EXPECT_FALSE(kinds.contains(3));

    ScanResult custom;
    custom.samples = {{0, 0, {region(5, {RedactionKind::custom, RedactionKind::han, RedactionKind::custom})}}};
    EXPECT_EQ(hiddenKindsByTrack(custom).at(5), (std::vector{RedactionKind::han, RedactionKind::custom}));
}

TEST(TrackReview, StepsThroughTheFramesOfOneTrack)
{
    const ScanResult result = clip();
    struct Case {
        std::int64_t track;
        double from;
        TrackStep step;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {1, 0.0, TrackStep::next, 0.1},
        {1, 0.2, TrackStep::next, 0.6},   // skips the frames it is absent from
        {1, 0.23, TrackStep::next, 0.6},  // between frames
        {1, 0.58, TrackStep::next, std::nullopt}, // 0.6 is the frame shown (within half a frame)
        {1, 0.6, TrackStep::previous, 0.2},
        {1, 0.0, TrackStep::previous, std::nullopt},
        {2, -5, TrackStep::next, 0.3},
        {2, 50, TrackStep::previous, 0.9},
        {7, 0.0, TrackStep::next, std::nullopt}, // no such track
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("track " + std::to_string(c.track) + " from " + std::to_string(c.from));
        const std::optional<double> time = trackFrameTime(result, c.track, c.from, c.step);
        ASSERT_EQ(time.has_value(), c.expected.has_value());
        if (time) {
            EXPECT_DOUBLE_EQ(*time, *c.expected);
        }
    }
}

} // namespace
} // namespace scrivel
