#include <mutex>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "ScrivelCore/Errors.hpp"
#include "ScrivelMedia/TrackerPlanning.hpp"

using namespace scrivel;
using namespace scrivel::tracking;

namespace scrivel::tracking {
void PrintTo(const FrameRange& r, std::ostream* os) { *os << "[" << r.lower << ", " << r.upper << "]"; }
} // namespace scrivel::tracking

namespace {

using Ranges = std::vector<SelectionLayout::Range>;
using Motions = std::vector<std::optional<MotionTransform>>;

TextSelection selection(RedactionKind kind, double x, double width) { return {{x, 0, width, 1}, kind, ""}; }

DetectedRegion line(std::string text, NormalizedRect rect, std::vector<TextSelection> selections = {})
{
    DetectedRegion region;
    region.rect = rect;
    region.confidence = 1;
    region.text = std::move(text);
    region.selections = std::move(selections);
    return region;
}

// `count` samples at `fps`, scene changing at each index in `cuts`.
std::vector<DetectionSample> frames(int count, double fps, std::vector<int> cuts = {})
{
    std::vector<DetectionSample> samples;
    std::int64_t scene = 0;
    for (int i = 0; i < count; ++i) {
        if (std::find(cuts.begin(), cuts.end(), i) != cuts.end())
            ++scene;
        samples.push_back({i / fps, scene, {}});
    }
    return samples;
}

DetectionTemplate observedAt(std::int64_t id, std::string text, std::vector<std::int64_t> observedFrames,
                             NormalizedRect rect = {0.1, 0.1, 0.5, 0.05})
{
    DetectionTemplate t;
    t.id = id;
    t.referenceFrame = observedFrames.empty() ? 0 : observedFrames.front();
    t.referenceRegion = line(text, rect);
    t.referenceRegion.trackID = id;
    t.canonicalRegion = t.referenceRegion;
    for (const std::int64_t f : observedFrames)
        t.observations.push_back({f, 0});
    return t;
}

std::vector<std::int64_t> supported(const SupportSet& support, std::int64_t last)
{
    std::vector<std::int64_t> frames;
    for (std::int64_t f = 0; f <= last; ++f) {
        if (support.contains(f))
            frames.push_back(f);
    }
    return frames;
}

// --- selection layout -----------------------------------------------------

TEST(SelectionLayout, mergesOverlappingSpansOfOneKindInLeftToRightOrder)
{
    const SelectionLayout layout({selection(RedactionKind::email, 0.5, 0.25), selection(RedactionKind::phone, 0.125, 0.125),
                                  selection(RedactionKind::email, 0.125, 0.25), selection(RedactionKind::email, 0.25, 0.0625),
                                  selection(RedactionKind::email, 0.75, 0.125)});
    ASSERT_EQ(layout.spans().size(), 2u);
    // 0.75 touches the span ending there; the third lies inside the second.
    EXPECT_EQ(layout.spans().at(RedactionKind::email), (Ranges{{0.125, 0.375}, {0.5, 0.875}}));
    EXPECT_EQ(layout.spans().at(RedactionKind::phone), (Ranges{{0.125, 0.25}}));
    EXPECT_TRUE(SelectionLayout(std::vector<TextSelection>{}).empty());
}

TEST(SelectionLayout, agreesWhenTheSpansOverlapByEightyPercentOfTheLongerTotal)
{
    const auto email = [](double x, double width) { return SelectionLayout({selection(RedactionKind::email, x, width)}); };
    struct Case {
        const char* name;
        SelectionLayout a, b;
        bool agrees;
    };
    const Case cases[] = {
        {"identical", email(0.25, 0.5), email(0.25, 0.5), true},
        {"shifted 15 % of the length", email(0.25, 0.5), email(0.325, 0.5), true},
        {"shifted 25 % of the length", email(0.25, 0.5), email(0.375, 0.5), false},
        {"other much longer", email(0.25, 0.5), email(0.0, 1.0), false},
        {"other lacks the kind", email(0.25, 0.5), SelectionLayout({selection(RedactionKind::phone, 0.25, 0.5)}), false},
        {"two ranges against one", SelectionLayout({selection(RedactionKind::han, 0.0, 0.45), selection(RedactionKind::han, 0.55, 0.45)}),
         SelectionLayout({selection(RedactionKind::han, 0.0, 1.0)}), true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.a.agrees(c.b), c.agrees) << c.name;
}

TEST(SelectionLayout, coversComparesSpansPlacedInTheFrame)
{
    const SelectionLayout rightHalf({selection(RedactionKind::email, 0.5, 0.5)});
    const SelectionLayout whole({selection(RedactionKind::email, 0, 1)});
    const NormalizedRect narrow{0.2, 0.1, 0.4, 0.05}; // right half in the frame: 0.4 … 0.6
    EXPECT_TRUE(rightHalf.covers(whole, narrow, {0.3, 0.1, 0.4, 0.05}));  // 0.3 … 0.7
    EXPECT_TRUE(rightHalf.covers(whole, narrow, {0.44, 0.1, 0.4, 0.05})); // 80 % of 0.4 … 0.6
    EXPECT_FALSE(rightHalf.covers(whole, narrow, {0.45, 0.1, 0.4, 0.05}));
    EXPECT_FALSE(rightHalf.covers(SelectionLayout({selection(RedactionKind::phone, 0, 1)}), narrow, narrow));
    EXPECT_TRUE(SelectionLayout().covers(whole, narrow, narrow));
}

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

// --- tracking a frame -----------------------------------------------------

// Answers with whatever the test sets and remembers where it was asked.
struct ScriptedAppearance final : FrameAppearance {
    std::optional<AppearanceFit> whole;
    std::optional<AppearanceFit> parts;
    bool outsideFrame = false;
    mutable std::mutex askedMutex;
    mutable std::vector<NormalizedRect> asked; // guarded by askedMutex

    int width() const override { return 200; }
    int height() const override { return 100; }
    NormalizedRect searchBounds(const NormalizedRect& rect) const override
    {
        return outsideFrame ? NormalizedRect{2, 2, 0.1, 0.1} : rect;
    }
    std::optional<AppearanceFit> match(std::size_t, const NormalizedRect& near) const override
    {
        std::lock_guard lock(askedMutex);
        asked.push_back(near);
        return whole;
    }
    std::optional<AppearanceFit> matchVisibleParts(std::size_t, const NormalizedRect&) const override { return parts; }
};

struct TrackingScene {
    std::vector<DetectionSample> samples = frames(20, 30);
    Motions motions = Motions(20, MotionTransform::identity());
    std::vector<FrameRange> around = neighbourhoods(samples);
    std::vector<Reference> references;

    explicit TrackingScene(const DetectionTemplate& t)
    {
        for (const DetectionObservation& o : t.observations)
            samples[static_cast<std::size_t>(o.frame)].regions = {t.referenceRegion};
        around = neighbourhoods(samples);
        references.push_back(makeReference(plan({t}, around).at(0), 0, 0x123456));
    }
    std::vector<Acceptance> track(std::int64_t frame, const FrameAppearance& appearance, std::stop_token stop = {})
    {
        return trackFrame(frame, {samples, motions, around}, references, appearance, stop);
    }
};

TEST(TrackerPlanning, anUnconfirmedLineNeedsAWholeLineMatchAConfirmedOneLess)
{
    TrackingScene scene(observedAt(1, "a long line of text", {0, 1, 2}));
    ScriptedAppearance looks;
    const Reference& reference = scene.references[0];
    struct Step {
        std::optional<double> whole, parts;
        bool accepted, wholeLine;
    };
    const Step steps[] = {
        {0.69, std::nullopt, false, false}, {std::nullopt, 0.9, false, false}, {0.70, std::nullopt, true, true},
        {0.53, std::nullopt, true, false},  {0.51, 0.6, true, false},          {0.51, 0.51, false, false},
        {0.53, std::nullopt, false, false},
    };
    std::int64_t frame = 3;
    for (const Step& step : steps) {
        SCOPED_TRACE(frame);
        looks.whole = step.whole ? std::optional<AppearanceFit>({0, 0, *step.whole}) : std::nullopt;
        looks.parts = step.parts ? std::optional<AppearanceFit>({0, 0, *step.parts}) : std::nullopt;
        const auto candidates = scene.track(frame, looks);
        ASSERT_EQ(candidates.size(), step.accepted ? 1u : 0u);
        EXPECT_EQ(reference.identityConfirmed, step.accepted);
        if (step.accepted) {
            EXPECT_EQ(reference.lastMatchedFrame, frame);
            EXPECT_EQ(candidates[0].matchedWholeLine, step.wholeLine);
            EXPECT_EQ(candidate(reference, candidates[0]).region.backgroundColor, 0x123456u);
            EXPECT_EQ(candidates[0].locallySupported, std::nullopt);
            EXPECT_DOUBLE_EQ(candidates[0].lineHeight, 0.05 * 100 / 200);
        }
        ++frame;
    }
}

TEST(TrackerPlanning, acceptedShiftsCarryIntoTheNextPrediction)
{
    const NormalizedRect canonical{0.1, 0.2, 0.4, 0.05};
    TrackingScene scene(observedAt(1, "a long line of text", {0, 1, 2}, canonical));
    scene.motions[5] = MotionTransform(2, 0.05, -0.1);
    scene.motions[6] = MotionTransform(2, 0.05, -0.2);
    ScriptedAppearance looks;
    looks.whole = AppearanceFit{0.02, 0.04, 0.9};
    const auto first = scene.track(5, looks);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_NEAR(first[0].rect.x, 0.05 + 2 * 0.1 + 0.02, 1e-12);
    EXPECT_NEAR(first[0].rect.y, -0.1 + 2 * 0.2 + 0.04, 1e-12);
    EXPECT_NEAR(first[0].rect.width, 0.8, 1e-12);
    EXPECT_EQ(first[0].observation, 2);

    looks.whole = AppearanceFit{0, 0, 0.9};
    const auto second = scene.track(6, looks);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NEAR(second[0].rect.x, 0.05 + 2 * 0.1 + 0.02, 1e-12) << "the shift found in frame 5 is kept";
    EXPECT_NEAR(second[0].rect.y, -0.2 + 2 * 0.2 + 0.04, 1e-12);
}

TEST(TrackerPlanning, recognitionInTheFrameReanchorsThePrediction)
{
    DetectionTemplate t = observedAt(1, "a long line of text", {0, 1, 2, 8}, {0.1, 0.2, 0.4, 0.05});
    TrackingScene scene(t);
    scene.samples[8].regions[0].rect = {0.15, 0.3, 0.4, 0.05}; // recognized elsewhere in frame 8
    ScriptedAppearance looks;
    looks.whole = AppearanceFit{0.01, 0, 0.9};
    scene.track(7, looks);
    ASSERT_EQ(looks.asked.size(), 1u);
    EXPECT_NEAR(looks.asked[0].x, 0.1, 1e-12);
    scene.track(8, looks);
    ASSERT_EQ(looks.asked.size(), 2u);
    EXPECT_NEAR(looks.asked[1].x, 0.15, 1e-12) << "the match shift of frame 7 is replaced";
    EXPECT_NEAR(looks.asked[1].y, 0.3, 1e-12);
}

TEST(TrackerPlanning, aPredictionOutsideTheFrameLeavesTheStateAlone)
{
    TrackingScene scene(observedAt(1, "a long line of text", {0, 1, 2}));
    ScriptedAppearance looks;
    looks.whole = AppearanceFit{0, 0, 0.9};
    ASSERT_EQ(scene.track(3, looks).size(), 1u);
    looks.outsideFrame = true;
    EXPECT_TRUE(scene.track(4, looks).empty());
    EXPECT_TRUE(scene.references[0].identityConfirmed);
    EXPECT_EQ(scene.references[0].lastMatchedFrame, 3);
    EXPECT_EQ(looks.asked.size(), 1u) << "nothing is matched";
}

TEST(TrackerPlanning, gatesBeforeTheStartFrameForSingleCharactersAndOtherScenes)
{
    ScriptedAppearance looks;
    looks.whole = AppearanceFit{0, 0, 0.9};

    TrackingScene early(observedAt(1, "a long line of text", {6, 7, 8}));
    EXPECT_TRUE(early.track(3, looks).empty()) << "start frame not in the neighbourhood";
    EXPECT_TRUE(early.track(4, looks).empty()) << "not recognized in the frame";
    early.samples[4].regions = {line("line of text", {0.1, 0.1, 0.5, 0.05})};
    EXPECT_EQ(early.track(4, looks).size(), 1u);

    TrackingScene single(observedAt(1, "7", {10, 11, 12, 13, 14}));
    single.references[0].identityConfirmed = true;
    EXPECT_TRUE(single.track(15, looks).empty());
    EXPECT_FALSE(single.references[0].identityConfirmed);
    const auto inside = single.track(12, looks);
    ASSERT_EQ(inside.size(), 1u);
    EXPECT_EQ(inside[0].locallySupported, true);

    TrackingScene otherScene(observedAt(1, "a long line of text", {0, 1, 2}));
    otherScene.samples[5].sceneID = 3;
    const std::size_t asked = looks.asked.size();
    EXPECT_TRUE(otherScene.track(5, looks).empty());
    EXPECT_EQ(looks.asked.size(), asked);
}

TEST(TrackerPlanning, trackingAFrameStopsWhenCancelled)
{
    TrackingScene scene(observedAt(1, "a long line of text", {0, 1, 2}));
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(scene.track(3, ScriptedAppearance(), stop.get_token()), OperationCancelled);
}

// --- anticipation before the start frame ----------------------------------

DetectionTemplate withSpans(DetectionTemplate t, std::vector<TextSelection> selections)
{
    t.referenceRegion.selections = selections;
    t.canonicalRegion.selections = std::move(selections);
    return t;
}

TEST(TrackerPlanning, aLineReadWithoutItsSpansBorrowsThemFromANearlyIdenticalLine)
{
    const auto around = neighbourhoods(frames(10, 30));
    const std::vector<TextSelection> address = {selection(RedactionKind::email, 0.25, 0.75)};
    const std::vector<TextSelection> phone = {selection(RedactionKind::phone, 0, 1)};
    std::vector<PlannedTemplate> planned = plan(
        {
            withSpans(observedAt(1, "Mail amara.osei@clifton.co.uk", {0, 1, 2}), address),
            observedAt(2, "Mail amara nsei@clifton couk", {0, 1, 2}), // dots cut off, one letter misread
            observedAt(3, "Mail omera nsei@clifto couk", {0, 1, 2}),  // four edits: another text
            observedAt(4, "+44 117 496 012", {0, 1, 2}),             // short of the pattern by one digit
            withSpans(observedAt(5, "+44 117 496 0123", {0, 1, 2}), phone),
            observedAt(6, "Ama Osei", {0, 1, 2}),                    // one edit from a short text: too short
            withSpans(observedAt(7, "Amy Osei", {0, 1, 2}), phone),
        },
        around);
    ASSERT_EQ(planned.size(), 7u);
    borrowSpans(planned);
    const auto spansOf = [&](std::int64_t id) {
        const auto found = std::find_if(planned.begin(), planned.end(),
                                        [&](const PlannedTemplate& p) { return p.detectionTemplate.id == id; });
        return found->detectionTemplate.canonicalRegion.selections;
    };
    EXPECT_EQ(spansOf(2), address);
    EXPECT_TRUE(spansOf(3).empty());
    EXPECT_EQ(spansOf(4), phone);
    EXPECT_TRUE(spansOf(6).empty());
    EXPECT_EQ(spansOf(1), address) << "lenders keep their own spans";
}

TEST(TrackerPlanning, aLineWithSpansIsLookedForBeforeItIsSteadilyRecognized)
{
    const auto mail = [](std::string text, std::vector<std::int64_t> at) {
        return withSpans(observedAt(1, std::move(text), std::move(at)), {selection(RedactionKind::email, 0.4, 0.6)});
    };
    ScriptedAppearance looks;
    looks.whole = AppearanceFit{0.01, 0, 0.9};

    TrackingScene scene(mail("write to user@example.com", {12, 13, 14}));
    scene.samples[3].regions = {line("write to user@examp1e", {0.1, 0.1, 0.5, 0.05})}; // a misreading
    for (std::int64_t f = 0; f < 12; ++f) {
        SCOPED_TRACE(f);
        const auto found = scene.track(f, looks);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_TRUE(found[0].anticipated);
        EXPECT_TRUE(found[0].matchedWholeLine);
        EXPECT_EQ(found[0].observation, 12);
        EXPECT_NEAR(found[0].rect.x, 0.11, 1e-12) << "placed by the start observation and the match";
    }
    EXPECT_FALSE(scene.references[0].identityConfirmed) << "the reference's own state is untouched";
    EXPECT_EQ(scene.references[0].lastMatchedFrame, std::nullopt);
    EXPECT_NEAR(looks.asked.back().x, 0.1, 1e-12);
    const auto regular = scene.track(12, looks);
    ASSERT_EQ(regular.size(), 1u);
    EXPECT_FALSE(regular[0].anticipated);

    struct Case {
        const char* name;
        DetectionTemplate observed;
        double correlation;
    };
    const Case refused[] = {
        {"look below a whole-line match", mail("write to user@example.com", {12, 13, 14}), 0.69},
        {"nothing to hide", observedAt(1, "write to user at example", {12, 13, 14}), 0.9},
        {"short identity", withSpans(observedAt(1, "a@b", {10, 11, 12, 13, 14}), {selection(RedactionKind::email, 0, 1)}), 0.9},
    };
    for (const Case& c : refused) {
        TrackingScene other(c.observed);
        looks.whole = AppearanceFit{0, 0, c.correlation};
        EXPECT_TRUE(other.track(2, looks).empty()) << c.name;
    }

    TrackingScene slow(mail("write to user@example.com", {12, 13, 14}));
    for (std::size_t f = 0; f < slow.samples.size(); ++f)
        slow.samples[f].time = static_cast<double>(f) / 10; // start at 1.2 s
    slow.around = neighbourhoods(slow.samples);
    looks.whole = AppearanceFit{0, 0, 0.9};
    EXPECT_TRUE(slow.track(1, looks).empty()) << "more than a second before the start";
    EXPECT_EQ(slow.track(2, looks).size(), 1u);
}

TEST(TrackerPlanning, recognitionInTheFrameOutranksTheLookForLinesWithSpans)
{
    const NormalizedRect place{0.1, 0.2, 0.4, 0.05};
    const auto mail = [&](std::vector<std::int64_t> at) {
        return withSpans(observedAt(1, "write to user@example.com", std::move(at), place),
                         {selection(RedactionKind::email, 0.4, 0.6)});
    };
    ScriptedAppearance looks;

    // Rows that look alike: the best fit lies a row below the line
    // recognition read in this very frame.
    TrackingScene rows(mail({0, 1, 2, 3, 4, 5, 6}));
    looks.whole = AppearanceFit{0, 0.05, 0.9};
    const auto pulled = rows.track(5, looks);
    ASSERT_EQ(pulled.size(), 1u);
    EXPECT_EQ(pulled[0].rect, place);
    EXPECT_FALSE(pulled[0].matchedWholeLine);
    EXPECT_FALSE(rows.references[0].identityConfirmed) << "placed by recognition, not by its look";

    // Its look is not found at all (a cell selected in the patch's frame).
    looks.whole = std::nullopt;
    const auto unseen = rows.track(6, looks);
    ASSERT_EQ(unseen.size(), 1u);
    EXPECT_EQ(unseen[0].rect, place);

    // A toolbar that stays put while the page under it scrolls: the look
    // follows the page; recognition keeps reading the line where it was.
    TrackingScene toolbar(mail({0, 1, 2}));
    for (std::size_t f = 3; f < 8; ++f) {
        toolbar.motions[f] = MotionTransform(1, 0, -0.1 * static_cast<double>(f - 2));
        toolbar.samples[f].regions = {toolbar.references[0].detectionTemplate().canonicalRegion};
    }
    looks.whole = AppearanceFit{0, 0, 0.9};
    for (std::int64_t f = 2; f < 8; ++f) {
        SCOPED_TRACE(f);
        const auto kept = toolbar.track(f, looks);
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_EQ(kept[0].rect, place);
    }
    // Where recognition stops reading it, the look decides again.
    toolbar.samples[8].regions.clear();
    toolbar.motions[8] = MotionTransform(1, 0, -0.6);
    const auto followed = toolbar.track(8, looks);
    ASSERT_EQ(followed.size(), 1u);
    EXPECT_NEAR(followed[0].rect.y, 0.2 - 0.6 + 0.1 * 5, 1e-12);

    // A line with nothing to hide goes by its look alone.
    TrackingScene plain(observedAt(1, "a long line of text", {0, 1, 2, 3, 4, 5}, place));
    looks.whole = AppearanceFit{0, 0.05, 0.9};
    const auto looked = plain.track(5, looks);
    ASSERT_EQ(looked.size(), 1u);
    EXPECT_NEAR(looked[0].rect.y, 0.25, 1e-12);
}

// A pointer over the line for a frame: recognition misses it and the look is
// pulled onto the next row, which recognition reads as another text.
TEST(TrackerPlanning, aLookOnAnotherRowIsRefusedAndTheGapFilledByTheMotion)
{
    const NormalizedRect place{0.1, 0.2, 0.4, 0.05};
    TrackingScene scene(withSpans(observedAt(1, "Lucia Moreno +1 303 555 0120", {0, 1, 2, 3}, place),
                                  {selection(RedactionKind::phone, 0.4, 0.6)}));
    for (std::size_t f = 4; f < 7; ++f)
        scene.motions[f] = MotionTransform(1, 0, -0.02 * static_cast<double>(f - 3));
    const NormalizedRect nextRow{0.1, 0.23, 0.4, 0.05};
    scene.samples[5].regions = {line("Omar Haddad +1 720 555 0147", nextRow, {selection(RedactionKind::phone, 0.4, 0.6)})};
    ScriptedAppearance looks;
    std::vector<std::vector<Acceptance>> accepted(scene.samples.size());
    for (std::int64_t f = 0; f < 7; ++f) {
        looks.whole = AppearanceFit{0, f == 5 ? 0.07 : 0.0, 0.9}; // frame 5: a row down
        accepted[static_cast<std::size_t>(f)] = scene.track(f, looks);
    }
    EXPECT_TRUE(accepted[5].empty()) << "recognition reads another text where the look went";
    ASSERT_EQ(accepted[6].size(), 1u);

    fillShortGaps(accepted, scene.references, {scene.samples, scene.motions, scene.around});
    ASSERT_EQ(accepted[5].size(), 1u);
    EXPECT_NEAR(accepted[5][0].rect.y, 0.2 - 0.04, 1e-12) << "frame 4's place, moved by frame 5's motion";
    EXPECT_FALSE(accepted[5][0].matchedWholeLine);

    // A misreading of the line where the look went is no contradiction.
    TrackingScene misread(withSpans(observedAt(1, "Lucia Moreno +1 303 555 0120", {0, 1, 2, 3}, place),
                                    {selection(RedactionKind::phone, 0.4, 0.6)}));
    misread.samples[5].regions = {line("Lucia Moren0 +1303 555 0120", {0.1, 0.27, 0.4, 0.05})};
    looks.whole = AppearanceFit{0, 0.07, 0.9};
    EXPECT_EQ(misread.track(5, looks).size(), 1u);
    // Nor is an unsure reading of another text (the line half hidden).
    DetectedRegion garbage = line("1m55115555-i", {0.1, 0.27, 0.4, 0.05});
    garbage.confidence = 0.32F;
    misread.samples[6].regions = {garbage};
    EXPECT_EQ(misread.track(6, looks).size(), 1u);

    // Two frames are filled; three, and lines with nothing to hide, stay open.
    std::vector<std::vector<Acceptance>> sparse(scene.samples.size());
    sparse[3] = accepted[4];
    sparse[6] = accepted[6];
    fillShortGaps(sparse, scene.references, {scene.samples, scene.motions, scene.around});
    EXPECT_EQ(sparse[4].size(), 1u);
    EXPECT_EQ(sparse[5].size(), 1u);
    std::vector<std::vector<Acceptance>> sparser(scene.samples.size());
    sparser[2] = accepted[4];
    sparser[6] = accepted[6];
    fillShortGaps(sparser, scene.references, {scene.samples, scene.motions, scene.around});
    EXPECT_TRUE(sparser[3].empty() && sparser[4].empty() && sparser[5].empty());
    TrackingScene plain(observedAt(1, "a long line of text", {0, 1, 2, 3}, place));
    std::vector<std::vector<Acceptance>> plainAccepted(plain.samples.size());
    looks.whole = AppearanceFit{0, 0, 0.9};
    plainAccepted[4] = plain.track(4, looks);
    plainAccepted[6] = plain.track(6, looks);
    fillShortGaps(plainAccepted, plain.references, {plain.samples, plain.motions, plain.around});
    EXPECT_TRUE(plainAccepted[5].empty());
}

// A fast sideways scroll blurs a short city name for two frames: its look is
// lost while recognition still reads it.
TEST(TrackerPlanning, aShortLineIsCarriedOverAGapOnlyWhereRecognitionReadsIt)
{
    const NormalizedRect place{0.5, 0.4, 0.02, 0.02};
    TrackingScene city(withSpans(observedAt(1, "北京", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, place),
                                 {selection(RedactionKind::han, 0, 1)}));
    ASSERT_TRUE(city.references.at(0).planned.support.has_value());
    for (std::size_t f = 0; f < city.samples.size(); ++f) {
        city.motions[f] = MotionTransform(1, -0.01 * static_cast<double>(f), 0);
        city.samples[f].regions = {line("北京", {place.x - 0.01 * static_cast<double>(f), place.y, place.width, place.height},
                                        {selection(RedactionKind::han, 0, 1)})};
    }
    ScriptedAppearance looks;
    looks.whole = AppearanceFit{0, 0, 0.9};
    std::vector<std::vector<Acceptance>> accepted(city.samples.size());
    for (const std::int64_t f : {0, 1, 2, 3, 4, 7, 8, 9})
        accepted[static_cast<std::size_t>(f)] = city.track(f, looks);
    const TrackingInputs inputs{city.samples, city.motions, city.around};

    std::vector<std::vector<Acceptance>> unread = accepted;
    std::vector<Reference> unreadReferences = city.references;
    std::vector<DetectionSample> blurred = city.samples;
    blurred[6].regions.clear();
    fillShortGaps(unread, unreadReferences, {blurred, city.motions, city.around});
    EXPECT_TRUE(unread[5].empty() && unread[6].empty()) << "frame 6 does not read it: the gap stays open";

    fillShortGaps(accepted, city.references, inputs);
    ASSERT_EQ(accepted[5].size(), 1u);
    ASSERT_EQ(accepted[6].size(), 1u);
    EXPECT_NEAR(accepted[6][0].rect.x, place.x - 0.06, 1e-12);
    const std::vector<DetectionSample> output = outputSamples(city.samples, accepted, city.references, {});
    for (std::size_t f = 2; f < 8; ++f)
        EXPECT_EQ(output[f].regions.size(), 1u) << "frame " << f << " is inside the line's run";
}

// --- runs and output ------------------------------------------------------

TEST(TrackerPlanning, runsSpanFromTheFirstToTheLastSupportedFrameOfEachBlock)
{
    std::vector<bool> members(30, false);
    for (const int f : {4, 6, 11, 25})
        members[static_cast<std::size_t>(f)] = true;
    const SupportSet support(0, members);
    EXPECT_EQ(runs({3, 4, 5, 6, 7, 10, 11, 20, 21}, support), (std::vector<FrameRange>{{4, 6}, {11, 11}}));
    EXPECT_TRUE(runs({}, support).empty());
}

Candidate candidate(std::string text, NormalizedRect rect, std::int64_t observation,
                    std::vector<TextSelection> selections = {})
{
    Candidate c;
    c.region = line(text, rect, selections);
    c.identity = identityText(text);
    c.layout = SelectionLayout(selections);
    c.observation = observation;
    c.lineHeight = rect.height;
    return c;
}

std::vector<std::string> texts(const std::vector<DetectedRegion>& regions)
{
    std::vector<std::string> result;
    for (const DetectedRegion& r : regions)
        result.push_back(r.text);
    return result;
}

using Texts = std::vector<std::string>;

TEST(TrackerPlanning, resolveKeepsTheLongerIdentityOverTheSameLine)
{
    const NormalizedRect place{0.1, 0.1, 0.5, 0.05};
    const Candidate full = candidate("user@example.com", place, 1);
    const Candidate part = candidate("example.com", {0.12, 0.1, 0.48, 0.05}, 9);
    EXPECT_EQ(texts(resolve({full, part})), Texts{"user@example.com"});
    EXPECT_EQ(texts(resolve({part, full})), Texts{"user@example.com"});
    const Candidate elsewhere = candidate("example.com", {0.1, 0.5, 0.5, 0.05}, 9);
    EXPECT_EQ(texts(resolve({full, elsewhere})), (Texts{"user@example.com", "example.com"}));
}

TEST(TrackerPlanning, resolveBetweenEqualLinesFollowsLayoutsThenRecency)
{
    const NormalizedRect place{0.1, 0.1, 0.5, 0.05};
    const std::vector<TextSelection> left = {selection(RedactionKind::phone, 0, 0.5)};
    const std::vector<TextSelection> right = {selection(RedactionKind::phone, 0.5, 0.5)};
    // Agreeing layouts: the earlier reference stays even though the later was seen more recently.
    EXPECT_EQ(texts(resolve({candidate("call 555 0100", place, 1, left), candidate("call 555 0199", place, 9, left)})),
              Texts{"call 555 0100"});
    // Same kinds, disagreeing layouts: the more recent observation wins.
    EXPECT_EQ(texts(resolve({candidate("call 555 0100", place, 1, left), candidate("call 555 0199", place, 9, right)})),
              Texts{"call 555 0199"});
    EXPECT_EQ(texts(resolve({candidate("call 555 0100", place, 9, left), candidate("call 555 0199", place, 1, right)})),
              Texts{"call 555 0100"});
    // The same identity seen densely here beats one that is not.
    Candidate supportedHere = candidate("ab12", place, 1);
    supportedHere.locallySupported = true;
    Candidate notHere = candidate("ab12", place, 9);
    notHere.locallySupported = false;
    EXPECT_EQ(resolve({supportedHere, notHere}).size(), 1u);
    EXPECT_EQ(resolve({notHere, supportedHere})[0].rect, place);
    EXPECT_EQ(resolve({notHere, supportedHere}).size(), 1u);
}

TEST(TrackerPlanning, resolveDropsANarrowMatchWhoseSpansTheWholeLineAlreadyHides)
{
    const std::vector<TextSelection> all = {selection(RedactionKind::email, 0, 1)};
    Candidate wide = candidate("mail me at a@b.io or c@d.io", {0.1, 0.1, 0.6, 0.05}, 1, all);
    wide.matchedWholeLine = true;
    const Candidate narrow = candidate("write to x@y.io", {0.3, 0.1, 0.4, 0.05}, 9, all);
    EXPECT_EQ(texts(resolve({wide, narrow})), Texts{wide.region.text});
    EXPECT_EQ(texts(resolve({narrow, wide})), Texts{wide.region.text});
}

TEST(TrackerPlanning, sameTextOverlappingModeratelyConflicts)
{
    const Candidate a = candidate("hello world", {0.1, 0.1, 0.5, 0.05}, 1);
    const Candidate b = candidate("hello world", {0.205, 0.1, 0.5, 0.05}, 2); // overlap 79 %, IoU 0.653
    const Candidate c = candidate("hello there", {0.205, 0.1, 0.5, 0.05}, 2);
    const Candidate d = candidate("hello world", {0.21, 0.1, 0.5, 0.05}, 2); // overlap 78 %, IoU 0.639
    EXPECT_TRUE(conflicts(a, b));
    EXPECT_FALSE(conflicts(a, c));
    EXPECT_FALSE(conflicts(a, d));
    EXPECT_TRUE(conflicts(a, candidate("other", {0.19, 0.1, 0.5, 0.05}, 2))) << "over 80 % of the smaller area";
}

TEST(TrackerPlanning, anticipatedMasksCountOnlyRightBeforeTheTrackAndBesideWhatRecognitionSaw)
{
    const std::vector<DetectionSample> samples = frames(12, 30);
    const auto around = neighbourhoods(samples);
    const NormalizedRect place{0.1, 0.1, 0.5, 0.05};
    const DetectionTemplate mail =
        withSpans(observedAt(1, "write to user@example.com", {8, 9, 10}, place), {selection(RedactionKind::email, 0.4, 0.6)});
    const DetectionTemplate misread =
        withSpans(observedAt(2, "write to user@examp1e call 555 0100", {0, 1, 2}, place), {selection(RedactionKind::phone, 0.7, 0.3)});
    const DetectionTemplate reread =
        withSpans(observedAt(3, "write to user@example.co", {0, 1, 2}, place), {selection(RedactionKind::email, 0.4, 0.6)});
    std::vector<Reference> references;
    for (PlannedTemplate& planned : plan({mail, misread, reread}, around))
        references.push_back(makeReference(std::move(planned), 0, 0));
    ASSERT_EQ(references.size(), 3u);

    std::vector<std::vector<Acceptance>> accepted(samples.size());
    const auto accept = [&](std::size_t r, std::int64_t f, bool early) {
        accepted[static_cast<std::size_t>(f)].push_back({r, place, early ? 8 : f, true, 0.025, std::nullopt, early});
    };
    for (const std::int64_t f : {2, 3, 5, 6, 7})
        accept(0, f, true);
    for (const std::int64_t f : {8, 9, 10})
        accept(0, f, false);
    accept(1, 6, false); // misread: hides the phone number only
    accept(2, 7, false); // read again: hides the same address

    const std::vector<DetectionSample> output = outputSamples(samples, accepted, references, {});
    const Texts expected[] = {{}, {}, {}, {}, {},
                              {"write to user@example.com"},
                              {"write to user@examp1e call 555 0100", "write to user@example.com"},
                              {"write to user@example.co"},
                              {"write to user@example.com"}, {"write to user@example.com"},
                              {"write to user@example.com"}, {}};
    for (std::size_t f = 0; f < output.size(); ++f)
        EXPECT_EQ(texts(output[f].regions), expected[f]) << "frame " << f << ": gap at 4 cuts frames 2-3 off";
}

TEST(TrackerPlanning, aLineDisplacedByAnotherTextOverPartOfItKeepsItsSpans)
{
    const std::vector<DetectionSample> samples = frames(4, 30);
    const auto around = neighbourhoods(samples);
    const NormalizedRect note{0.1, 0.5, 0.6, 0.03};
    const DetectionTemplate noteLine =
        withSpans(observedAt(1, "my colleague Zhou Jingyi had the same issue", {0, 1, 2}, note), {selection(RedactionKind::han, 0.3, 0.1)});
    // A menu entry opened over the note's right end, recognized more recently.
    const DetectionTemplate menu = observedAt(2, "Escalate to billing", {1, 2, 3}, {0.62, 0.5, 0.08, 0.032});
    // The note's name read on its own, over the same span.
    const DetectionTemplate name =
        withSpans(observedAt(3, "Zhou Jingyi", {0, 1, 2}, {0.28, 0.5, 0.06, 0.03}), {selection(RedactionKind::han, 0, 1)});
    const DetectionTemplate plain = observedAt(4, "nothing to hide here at all", {0, 1, 2}, {0.1, 0.6, 0.6, 0.03});
    std::vector<Reference> references;
    for (PlannedTemplate& planned : plan({noteLine, menu, name, plain}, around))
        references.push_back(makeReference(std::move(planned), 0, 0));
    ASSERT_EQ(references.size(), 4u);
    std::vector<std::vector<Acceptance>> accepted(samples.size());
    const auto accept = [&](std::size_t f, std::size_t r) {
        const DetectionTemplate& t = references[r].detectionTemplate();
        accepted[f].push_back({r, t.canonicalRegion.rect, t.observations.back().frame, true, 0.03, std::nullopt, false});
    };
    for (const std::size_t r : {0, 1, 3})
        accept(3, r);
    for (const std::size_t r : {0, 1, 2, 3})
        accept(2, r);
    ASSERT_TRUE(wins(candidate(references[1], accepted[3][1]), candidate(references[0], accepted[3][0])))
        << "the menu entry displaces the note when resolving";

    const std::vector<DetectionSample> output = outputSamples(samples, accepted, references, {});
    const Texts expected{"Escalate to billing", "nothing to hide here at all", "my colleague Zhou Jingyi had the same issue"};
    EXPECT_EQ(texts(output[3].regions), expected) << "the note comes back for its span; a line without spans is drawn as resolved";
    EXPECT_EQ(texts(output[2].regions), (Texts{"Escalate to billing", "Zhou Jingyi", "nothing to hide here at all"}))
        << "the name read alone already hides the note's span: the note is not drawn again";

    // The name tracked a little narrower leaves the end of the span bare.
    std::vector<std::vector<Acceptance>> narrower(samples.size());
    narrower[1] = accepted[2];
    narrower[1][2].rect = {0.28, 0.5, 0.05, 0.03};
    const std::vector<DetectionSample> bare = outputSamples(samples, narrower, references, {});
    EXPECT_EQ(texts(bare[1].regions),
              (Texts{"Escalate to billing", "Zhou Jingyi", "nothing to hide here at all", "my colleague Zhou Jingyi had the same issue"}));
}

TEST(TrackerPlanning, masksReachPastTheMeasuredSpansByShareOfTheLineHeight)
{
    const NormalizedRect rect{0.1, 0.2, 0.5, 0.04};
    const double lineHeight = 0.02; // in frame widths
    DetectionTemplate t = withSpans(observedAt(1, "mail a@b.io now", {0, 1, 2}, rect),
                                    {selection(RedactionKind::email, 0.2, 0.3), selection(RedactionKind::phone, 0, 1)});
    const std::vector<FrameRange> around = neighbourhoods(frames(5, 30));
    const Reference reference = makeReference(plan({t}, around).at(0), 0, 0);
    const std::vector<NormalizedRect> masks =
        candidate(reference, {0, rect, 0, true, lineHeight, std::nullopt, false}).region.maskRects();
    ASSERT_EQ(masks.size(), 2u);
    ASSERT_GT(spanMarginSideways, 0);
    ASSERT_GT(spanMarginAbove, 0);
    const struct {
        double left, right;
    } measured[] = {{0.2, 0.35}, {0.1, 0.6}};
    for (std::size_t i = 0; i < masks.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_NEAR(masks[i].x, measured[i].left - spanMarginSideways * lineHeight, 1e-12);
        EXPECT_NEAR(masks[i].maxX(), measured[i].right + spanMarginSideways * lineHeight, 1e-12);
        EXPECT_NEAR(masks[i].y, 0.2 - spanMarginAbove * 0.04, 1e-12);
        EXPECT_NEAR(masks[i].maxY(), 0.24 + spanMarginBelow * 0.04, 1e-12);
    }
}

TEST(TrackerPlanning, everyReadingWithSpansIsDrawnOnItsOwnFrame)
{
    // A formula bar: the tracked mask is another address that looks much the
    // same and sits a little to the right, narrower than what the frame reads.
    const NormalizedRect bar{0.10, 0.05, 0.30, 0.03};
    DetectedRegion tracked = line("rafael@deskline.app", {0.12, 0.045, 0.25, 0.04},
                                  {selection(RedactionKind::email, 0, 1)});
    tracked.trackID = 58;
    tracked.backgroundColor = 0xF0F0F0;
    const DetectedRegion read = line("fxamara.osei@clifton.co.uk", bar, {selection(RedactionKind::email, 0.05, 0.95)});
    const DetectedRegion elsewhere = line("noise 555 0101", {0.5, 0.5, 0.2, 0.03}, {selection(RedactionKind::phone, 0.3, 0.7)});
    const DetectedRegion plain = line("Total", {0.1, 0.049, 0.05, 0.03});

    std::vector<DetectionSample> samples = frames(2, 30);
    samples[0].regions = {read, elsewhere, plain};
    samples[1].regions = {read};
    std::vector<DetectionSample> output = frames(2, 30);
    output[0].regions = {tracked};
    const std::vector<std::vector<std::int64_t>> tracks = {{3, 4, 0}, {3}};
    const ReadingColors colors = {{0x202020, 0x303030, 0}, {0x404040}};
    const double heightPerWidth = 9.0 / 16;
    keepOwnReadings(output, samples, tracks, colors, heightPerWidth);

    ASSERT_EQ(texts(output[0].regions), (Texts{"rafael@deskline.app", "fxamara.osei@clifton.co.uk", "noise 555 0101"}))
        << "every reading with spans is drawn; a line without spans is not";
    const DetectedRegion& underMask = output[0].regions[1];
    EXPECT_EQ(underMask.trackID, 58) << "a reading under a tracked mask belongs to that mask's track";
    EXPECT_EQ(underMask.backgroundColor, 0xF0F0F0u);
    const std::vector<NormalizedRect> masks = underMask.maskRects();
    ASSERT_EQ(masks.size(), 1u);
    const double lineHeight = bar.height * heightPerWidth;
    EXPECT_NEAR(masks[0].x, bar.x + 0.05 * bar.width - spanMarginSideways * lineHeight, 1e-12);
    EXPECT_NEAR(masks[0].maxX(), bar.maxX() + spanMarginSideways * lineHeight, 1e-12);
    EXPECT_NEAR(masks[0].y, bar.y - spanMarginAbove * bar.height, 1e-12);
    EXPECT_NEAR(masks[0].maxY(), bar.maxY() + spanMarginBelow * bar.height, 1e-12);

    const DetectedRegion& alone = output[0].regions[2];
    EXPECT_EQ(alone.trackID, 4) << "a reading no mask lies on keeps its own track";
    EXPECT_EQ(alone.backgroundColor, 0x303030u);
    ASSERT_EQ(texts(output[1].regions), Texts{"fxamara.osei@clifton.co.uk"})
        << "a frame where tracking drew nothing still shows what it read";
    EXPECT_EQ(output[1].regions[0].trackID, 3);
    EXPECT_EQ(output[1].regions[0].backgroundColor, 0x404040u);

    // Masks that already hide the reading's spans with their margins: nothing is added.
    std::vector<DetectionSample> covered = frames(1, 30);
    DetectedRegion wide = line("fxamara.osei@clifton.co.uk", {0.09, 0.045, 0.32, 0.04}, {selection(RedactionKind::email, 0, 1)});
    covered[0].regions = {wide};
    keepOwnReadings(covered, {DetectionSample{0, 0, {read}}}, {{3}}, {{0}}, heightPerWidth);
    EXPECT_EQ(covered[0].regions.size(), 1u);

    // Two masks that leave a sliver between them, narrower than a twelfth of
    // the span: the reading is drawn.
    std::vector<DetectionSample> split = frames(1, 30);
    DetectedRegion leftPart = line("fxamara.osei", {0.09, 0.045, 0.155, 0.04}, {selection(RedactionKind::email, 0, 1)});
    DetectedRegion rightPart = line("clifton.co.uk", {0.249, 0.045, 0.161, 0.04}, {selection(RedactionKind::email, 0, 1)});
    split[0].regions = {leftPart, rightPart};
    keepOwnReadings(split, {DetectionSample{0, 0, {read}}}, {{3}}, {{0}}, heightPerWidth);
    EXPECT_EQ(split[0].regions.size(), 3u) << "a bare sliver of the span is not hidden";
}

TEST(TrackerPlanning, aReadingThatLostItsSpansToAMisreadingBorrowsThemFromItsText)
{
    std::vector<DetectionSample> samples = frames(2, 30);
    const DetectedRegion address = line("jonas.weber@harlowfinch-de.example", {0.4, 0.6, 0.3, 0.03},
                                        {selection(RedactionKind::email, 0, 1)});
    samples[0].regions = {line("jonas.weber@harlowfinch-deexample", {0.3, 0.6, 0.3, 0.03}),
                          line("harlowfinch", {0.1, 0.1, 0.1, 0.03}), line("Contacts for Harlowfinch", {0.1, 0.2, 0.2, 0.03}),
                          line("Jonas Weber, Harlowfinch DE example", {0.1, 0.3, 0.3, 0.03})};
    samples[1].regions = {address};
    DetectionTemplate lender;
    lender.id = 1;
    lender.canonicalRegion = address;
    lender.observations = {{1, 0}};
    const auto borrowed = withBorrowedSpans(samples, {lender});
    ASSERT_EQ(borrowed[0].regions.size(), 4u);
    EXPECT_EQ(borrowed[0].regions[0].selections, address.selections) << "the dot lost, the address is still hidden";
    EXPECT_TRUE(borrowed[0].regions[1].selections.empty()) << "too short to tell";
    EXPECT_TRUE(borrowed[0].regions[2].selections.empty()) << "another text";
    EXPECT_TRUE(borrowed[0].regions[3].selections.empty()) << "the same letters without an at sign are a name";
    EXPECT_EQ(borrowed[1], samples[1]);
}

TEST(TrackerPlanning, readingsTakeTheirTemplatesTrackOrOneOfTheirOwnPerText)
{
    std::vector<DetectionSample> samples = frames(4, 30);
    const DetectedRegion mail = line("a@b.io", {0.1, 0.1, 0.2, 0.03}, {selection(RedactionKind::email, 0, 1)});
    const DetectedRegion phone = line("555 0100 22", {0.1, 0.5, 0.2, 0.03}, {selection(RedactionKind::phone, 0, 1)});
    const DetectedRegion plain = line("Inbox", {0.1, 0.8, 0.1, 0.03});
    for (DetectionSample& sample : samples)
        sample.regions = {mail, phone, plain};
    samples[3].sceneID = 1;
    // The mail line joined template 7 in frames 0 and 1; nothing else joined one.
    DetectionTemplate t;
    t.id = 7;
    t.observations = {{0, 0}, {1, 0}};
    DetectionTemplate other;
    other.id = 2;
    other.observations = {{2, 2}};
    const auto tracks = readingTracks(samples, {other, t});
    ASSERT_EQ(tracks.size(), samples.size());
    EXPECT_EQ(tracks[0], (std::vector<std::int64_t>{7, 8, 0}));
    EXPECT_EQ(tracks[1], (std::vector<std::int64_t>{7, 8, 0}));
    EXPECT_EQ(tracks[2], (std::vector<std::int64_t>{9, 8, 2})) << "ids after the templates', one per text";
    EXPECT_EQ(tracks[3], (std::vector<std::int64_t>{10, 11, 0})) << "another scene is another track";
}

TEST(TrackerPlanning, outputKeepsShortIdentitiesOnlyInsideTheirRuns)
{
    const std::vector<DetectionSample> samples = frames(30, 30);
    const auto around = neighbourhoods(samples);
    std::vector<Reference> references;
    for (PlannedTemplate& planned : plan({observedAt(1, "ab12", {10, 11, 12, 13, 14}, {0.1, 0.1, 0.1, 0.05}),
                                          observedAt(2, "a long line of text", {0, 1, 2}, {0.1, 0.5, 0.5, 0.05})},
                                         around))
        references.push_back(makeReference(std::move(planned), 0, 0));
    references[0].matchedFrames = {2, 3, 4, 5, 6, 7, 8, 9, 10, 20, 21};
    std::vector<std::vector<Acceptance>> accepted(samples.size());
    for (std::size_t f = 0; f < samples.size(); ++f) {
        for (std::size_t r = 0; r < references.size(); ++r)
            accepted[f].push_back({r, references[r].detectionTemplate().canonicalRegion.rect, 0, false, 0.05, std::nullopt});
    }
    const std::vector<DetectionSample> output = outputSamples(samples, accepted, references, {});
    ASSERT_EQ(output.size(), samples.size());
    for (std::size_t f = 0; f < output.size(); ++f) {
        SCOPED_TRACE(f);
        EXPECT_EQ(output[f].time, samples[f].time);
        const bool inRun = f >= 8 && f <= 10; // support starts at 8; block 20–21 is unsupported
        EXPECT_EQ(output[f].regions.size(), inRun ? 2u : 1u);
        EXPECT_EQ(output[f].regions.back().trackID, 2);
    }

    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(outputSamples(samples, accepted, references, stop.get_token()), OperationCancelled);
}

} // namespace
