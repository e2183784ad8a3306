// The tracker's preparation: neighbourhoods, start frames, support sets,
// plans and references, on hand-made samples.

#include <mutex>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "ScrivelCore/Errors.hpp"
#include "tracking/TrackerPlanning.hpp"
#include "support/TrackerSamples.hpp"

namespace {

// --- preparation ----------------------------------------------------------

TEST(TrackerPlanning, neighbourhoodsReachTwoFramesOrAFewHundredthsOfASecondWithinTheScene)
{
    const auto fast = neighbourhoods(frames(30, 30));
    EXPECT_EQ(fast[10], (FrameRange{6, 14})); // 4/30 s ≤ 0.15 < 5/30 s
    EXPECT_EQ(fast[0], (FrameRange{0, 4}));
    const auto slow = neighbourhoods(frames(10, 2));
    EXPECT_EQ(slow[5], (FrameRange{3, 7}));
    const auto cut = neighbourhoods(frames(30, 30, {12}));
    EXPECT_EQ(cut[10], (FrameRange{6, 11}));
    EXPECT_EQ(cut[12], (FrameRange{12, 16}));
}

TEST(TrackerPlanning, startFrameNeedsThreeObservationsInARow)
{
    const auto around = neighbourhoods(frames(40, 30));
    EXPECT_EQ(startFrame(observedAt(1, "hello", {3, 4, 5}), around), 3);
    EXPECT_EQ(startFrame(observedAt(1, "hello", {0, 20, 23, 26}), around), 20);
    EXPECT_EQ(startFrame(observedAt(1, "hello", {3, 4}), around), std::nullopt) << "seen only twice";
    EXPECT_EQ(startFrame(observedAt(1, "hello", {0, 5, 10, 15, 20}), around), std::nullopt) << "too sparse";
}

TEST(TrackerPlanning, supportSetsAskTwiceTheDensityOfSingleCharacters)
{
    const auto around = neighbourhoods(frames(40, 30));
    const DetectionTemplate dense = observedAt(1, "x", {10, 11, 12, 13, 14});
    // n = 9 away from the ends: one character needs 5 of them, two to four need 3.
    EXPECT_EQ(supported(*supportSet(dense, 1, around), 39), (std::vector<std::int64_t>{10, 11, 12, 13, 14}));
    EXPECT_EQ(supported(*supportSet(dense, 3, around), 39), (std::vector<std::int64_t>{8, 9, 10, 11, 12, 13, 14, 15, 16}));
    EXPECT_EQ(supportSet(dense, 5, around), std::nullopt);
}

TEST(TrackerPlanning, planDropsUnsteadyTemplatesAndMarksSingleCharacters)
{
    const auto around = neighbourhoods(frames(40, 30));
    const std::vector<DetectionTemplate> templates = {
        observedAt(1, "seen twice only", {3, 4}),
        observedAt(2, "7", {10, 13, 16}),       // steady, but too sparse for one character
        observedAt(3, "ab-12", {10, 13, 16}),   // four letters and numbers
        observedAt(4, "Q", {20, 21, 22, 23, 24}),
        observedAt(5, "a long line", {0, 1, 2}),
    };
    const std::vector<PlannedTemplate> planned = plan(templates, around);
    ASSERT_EQ(planned.size(), 3u);
    EXPECT_EQ(planned[0].detectionTemplate.id, 3);
    EXPECT_EQ(planned[0].identity, "ab12");
    EXPECT_EQ(planned[0].startFrame, 10);
    EXPECT_FALSE(planned[0].singleCharacter);
    EXPECT_EQ(supported(*planned[0].support, 39), (std::vector<std::int64_t>{12, 13, 14}));
    EXPECT_EQ(planned[1].detectionTemplate.id, 4);
    EXPECT_TRUE(planned[1].singleCharacter);
    EXPECT_EQ(planned[2].detectionTemplate.id, 5);
    EXPECT_EQ(planned[2].support, std::nullopt);
}

TEST(TrackerPlanning, referencesOrderedByObservationsLengthAreaThenId)
{
    const auto around = neighbourhoods(frames(40, 30));
    const std::vector<DetectionTemplate> templates = {
        observedAt(1, "abcdef", {0, 1, 2}, {0, 0, 0.2, 0.05}),
        observedAt(2, "abcdef", {0, 1, 2}, {0, 0, 0.3, 0.05}),
        observedAt(3, "abcdefgh", {0, 1, 2}, {0, 0, 0.1, 0.05}),
        observedAt(4, "abcdef", {0, 1, 2, 3}, {0, 0, 0.1, 0.05}),
        observedAt(5, "abcdef", {0, 1, 2}, {0, 0, 0.3, 0.05}),
    };
    std::vector<Reference> references;
    for (PlannedTemplate& planned : plan(templates, around))
        references.push_back(makeReference(std::move(planned), 0, 0));
    orderReferences(references);
    std::vector<std::int64_t> ids;
    for (const Reference& r : references)
        ids.push_back(r.detectionTemplate().id);
    EXPECT_EQ(ids, (std::vector<std::int64_t>{4, 3, 2, 5, 1}));
}

TEST(TrackerPlanning, regionCheckWantsAPartOfTheIdentityInTheSamePlaceWithTheSameSpans)
{
    DetectionTemplate t = observedAt(1, "Mail: user@example.com", {0, 1, 2}, {0.1, 0.5, 0.5, 0.05});
    t.canonicalRegion.selections = {selection(RedactionKind::email, 0.3, 0.7)};
    const Reference reference = makeReference(plan({t}, neighbourhoods(frames(5, 30)))[0], 0, 0);
    const NormalizedRect at{0.1, 0.5, 0.5, 0.05};
    const std::vector<TextSelection> spans = {selection(RedactionKind::email, 0.3, 0.7)};
    struct Case {
        const char* name;
        DetectedRegion region;
        bool matches;
    };
    const Case cases[] = {
        {"same line", line("mail user@example.com", at, spans), true},
        {"a fragment", line("user@example", at, spans), true},
        {"other text", line("admin@example.com", at, spans), false},
        {"narrower", line("user@example.com", {0.1, 0.5, 0.42, 0.05}, spans), false},
        {"moved down", line("user@example.com", {0.1, 0.51, 0.5, 0.05}, spans), false},
        {"other kind", line("user@example.com", at, {selection(RedactionKind::phone, 0.3, 0.7)}), false},
        {"other span", line("user@example.com", at, {selection(RedactionKind::email, 0, 0.3)}), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(regionMatches(c.region, reference, at), c.matches) << c.name;
}

} // namespace
