// Following references frame by frame, and looking for a line before its
// steady recognition, against scripted appearance answers.

#include <mutex>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "ScrivelCore/Errors.hpp"
#include "tracking/TrackerPlanning.hpp"
#include "support/TrackerSamples.hpp"

namespace {

// --- tracking a frame -----------------------------------------------------

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

} // namespace
