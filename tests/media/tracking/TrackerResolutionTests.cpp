// Runs of short identities, overlap resolution and the output samples, on
// hand-made candidates and samples.

#include <mutex>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "ScrivelCore/Errors.hpp"
#include "tracking/TrackerPlanning.hpp"
#include "support/TrackerSamples.hpp"

namespace {

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
