#include <gtest/gtest.h>

#include <algorithm>

#include <optional>
#include <vector>

#include "ScrivelCore/DetectionTimeline.hpp"
#include "ScrivelCore/TextTemplateBuilder.hpp"

namespace scrivel {

void PrintTo(const DetectionObservation& o, std::ostream* os) { *os << "(" << o.frame << ", " << o.regionIndex << ")"; }

namespace {

using Motions = std::vector<std::optional<MotionTransform>>;

DetectedRegion line(std::string text, NormalizedRect rect, float confidence = 1,
                    std::vector<TextSelection> selections = {})
{
    DetectedRegion region;
    region.rect = rect;
    region.confidence = confidence;
    region.text = std::move(text);
    region.selections = std::move(selections);
    return region;
}

DetectionSample sample(std::vector<DetectedRegion> regions, std::int64_t scene = 0, double time = 0)
{
    return {time, scene, std::move(regions)};
}

Motions still(std::size_t count) { return Motions(count, MotionTransform::identity()); }

std::vector<DetectionTemplate> build(const std::vector<DetectionSample>& samples, const Motions& motions)
{
    return TextTemplateBuilder(samples, motions).run();
}

std::vector<DetectionTemplate> build(const std::vector<DetectionSample>& samples)
{
    return build(samples, still(samples.size()));
}

using Members = std::vector<DetectionObservation>;

std::vector<Members> membersOf(const std::vector<DetectionTemplate>& templates)
{
    std::vector<Members> members;
    for (const DetectionTemplate& t : templates)
        members.push_back(t.observations);
    return members;
}

const NormalizedRect box{0.25, 0.375, 0.25, 0.0625};

TEST(TextTemplateBuilder, nothingToGroup)
{
    EXPECT_TRUE(build({}).empty());
    const std::vector<DetectionSample> samples = {sample({line("hello", box)}), sample({line("hello", box)})};
    EXPECT_TRUE(build(samples, Motions(2)).empty());
}

TEST(TextTemplateBuilder, steadyLineIsOneTemplate)
{
    std::vector<DetectionSample> samples;
    for (int i = 0; i < 10; ++i)
        samples.push_back(sample({line("Account 4711", box)}));
    const auto templates = build(samples);
    ASSERT_EQ(templates.size(), 1u);
    EXPECT_EQ(templates[0].id, 1);
    ASSERT_EQ(templates[0].observations.size(), 10u);
    for (std::int64_t i = 0; i < 10; ++i)
        EXPECT_EQ(templates[0].observations[i], (DetectionObservation{i, 0}));
    EXPECT_EQ(templates[0].referenceRegion.trackID, 1);
    EXPECT_EQ(templates[0].canonicalRegion.trackID, 1);
    EXPECT_EQ(templates[0].referenceRegion.text, "Account 4711");
}

TEST(TextTemplateBuilder, scrollingLineFollowsItsMotion)
{
    // The page scrolls up by 0.03 per sample; in canonical space the line stays put.
    const NormalizedRect canonical{0.125, 0.5, 0.25, 0.0625};
    std::vector<DetectionSample> samples;
    Motions motions;
    for (int i = 0; i < 8; ++i) {
        const MotionTransform motion(1, 0, -0.03 * i);
        motions.push_back(motion);
        samples.push_back(sample({line("scrolled text", motion.applying(canonical))}));
    }
    const auto templates = build(samples, motions);
    ASSERT_EQ(templates.size(), 1u);
    EXPECT_EQ(templates[0].observations.size(), 8u);
    const DetectionTemplate& t = templates[0];
    const NormalizedRect expected = motions[t.referenceFrame]->inverted().applying(t.referenceRegion.rect);
    EXPECT_EQ(t.canonicalRegion.rect, expected);
    EXPECT_EQ(t.referenceRegion.rect, samples[t.referenceFrame].regions[0].rect);
    EXPECT_NEAR(t.canonicalRegion.rect.y, canonical.y, 1e-12);
    // Without the motion the same boxes drift apart and split.
    EXPECT_GT(build(samples).size(), 1u);
}

TEST(TextTemplateBuilder, scenesNeverShareATemplate)
{
    const std::vector<DetectionSample> samples = {sample({line("hello", box)}, 3), sample({line("hello", box)}, 4),
                                                  sample({line("hello", box)}, 4)};
    const auto templates = build(samples);
    ASSERT_EQ(templates.size(), 2u);
    EXPECT_EQ(templates[0].sceneID, 3);
    EXPECT_EQ(templates[1].sceneID, 4);
    EXPECT_EQ(membersOf(templates), (std::vector<Members>{{{0, 0}}, {{1, 0}, {2, 0}}}));
    EXPECT_EQ(templates[1].id, 2);
}

TEST(TextTemplateBuilder, copiesJoinTheNearerCluster)
{
    const NormalizedRect a{0.1, 0.2, 0.4, 0.1};
    const NormalizedRect b{0.1, 0.25, 0.4, 0.1}; // IoU with a is 1/3: two clusters
    auto at = [](double y) { return NormalizedRect{0.1, y, 0.4, 0.1}; };
    // Region 0 at 0.22 is nearer a, region 1 at 0.235 nearer b; both are candidates of both.
    const std::vector<DetectionSample> nearest = {
        sample({line("x", a), line("x", b)}),
        sample({line("x", at(0.22)), line("x", at(0.235))}),
    };
    EXPECT_EQ(membersOf(build(nearest)), (std::vector<Members>{{{0, 0}, {1, 0}}, {{0, 1}, {1, 1}}}));

    // Both are nearer a; the closer one takes it and the other falls back to b.
    const std::vector<DetectionSample> contested = {
        sample({line("x", a), line("x", b)}),
        sample({line("x", at(0.22)), line("x", at(0.21))}),
    };
    EXPECT_EQ(membersOf(build(contested)), (std::vector<Members>{{{0, 0}, {1, 1}}, {{0, 1}, {1, 0}}}));
}

TEST(TextTemplateBuilder, equalDistancesPreferLowerClusterThenRegion)
{
    // Two identical copies make two clusters; the single copy later joins the first.
    const std::vector<DetectionSample> twins = {sample({line("x", box), line("x", box)}), sample({line("x", box)})};
    EXPECT_EQ(membersOf(build(twins)), (std::vector<Members>{{{0, 0}, {1, 0}}, {{0, 1}}}));

    // Two copies equally far above and below: the lower region index joins.
    const NormalizedRect above{box.x, box.y - 0.015625, box.width, box.height};
    const NormalizedRect below{box.x, box.y + 0.015625, box.width, box.height};
    const std::vector<DetectionSample> symmetric = {sample({line("x", box)}), sample({line("x", below), line("x", above)})};
    EXPECT_EQ(membersOf(build(symmetric)), (std::vector<Members>{{{0, 0}, {1, 0}}, {{1, 1}}}));
}

struct SizeCase {
    double widthFactor;
    double heightFactor;
    bool joins;
};

class TemplateSizeRatio : public ::testing::TestWithParam<SizeCase> {};

TEST_P(TemplateSizeRatio, limitsAreInclusive)
{
    const SizeCase c = GetParam();
    const NormalizedRect first{0, 0, 0.5, 0.25};
    const NormalizedRect later{0, 0, first.width * c.widthFactor, first.height * c.heightFactor};
    const auto templates = build({sample({line("size", first)}), sample({line("size", later)})});
    EXPECT_EQ(templates.size(), c.joins ? 1u : 2u);
}

INSTANTIATE_TEST_SUITE_P(ratios, TemplateSizeRatio,
                         ::testing::Values(SizeCase{1.55, 1, true}, SizeCase{1.6, 1, false},
                                           SizeCase{0.65, 1, true}, SizeCase{0.6, 1, false},
                                           SizeCase{1, 1.55, true}, SizeCase{1, 1.6, false},
                                           SizeCase{1, 0.65, true}, SizeCase{1, 0.6, false},
                                           SizeCase{1.55, 0.65, true}));

TEST(TextTemplateBuilder, overlapThresholdIsInclusive)
{
    const NormalizedRect first{0, 0, 0.5, 0.5};
    // Intersections 0.140625 and 0.1375 over unions of 0.3125 each.
    const NormalizedRect at045{0.21875, 0, 0.40625, 0.5};
    const NormalizedRect at044{0.225, 0, 0.4, 0.5};
    ASSERT_EQ(first.iou(at045), 0.45);
    ASSERT_NEAR(first.iou(at044), 0.44, 1e-12);
    EXPECT_EQ(build({sample({line("t", first)}), sample({line("t", at045)})}).size(), 1u);
    EXPECT_EQ(build({sample({line("t", first)}), sample({line("t", at044)})}).size(), 2u);
}

TEST(TextTemplateBuilder, matchesAgainstFirstObservation)
{
    // Each step overlaps the previous one by 2/3 (IoU) but the one before by 3/7 only.
    std::vector<DetectionSample> samples;
    for (int i = 0; i < 4; ++i)
        samples.push_back(sample({line("drift", {0.1 + 0.05 * i, 0.4, 0.25, 0.0625})}));
    EXPECT_EQ(membersOf(build(samples)),
              (std::vector<Members>{{{0, 0}, {1, 0}}, {{2, 0}, {3, 0}}}));
}

TEST(TextTemplateBuilder, zeroAreaLinesNeverJoin)
{
    const NormalizedRect flat{0.25, 0.5, 0.25, 0};
    EXPECT_EQ(build({sample({line("flat", flat)}), sample({line("flat", flat)})}).size(), 2u);
}

TEST(TextTemplateBuilder, identityIgnoresCaseSpacingAndPunctuation)
{
    const std::vector<DetectionSample> samples = {
        sample({line("Hello, World!", box)}),
        sample({line("hello world", box)}),
        sample({line("HELLO-WORLD.", box)}),
        sample({line("hello worlds", box)}),
    };
    EXPECT_EQ(membersOf(build(samples)), (std::vector<Members>{{{0, 0}, {1, 0}, {2, 0}}, {{3, 0}}}));
}

TEST(TextTemplateBuilder, identityIncludesRedactedSpans)
{
    const TextSelection emailSpan{{0, 0, 1, 1}, RedactionKind::email, "a@b.io"};
    const TextSelection customSpan{{0, 0, 1, 1}, RedactionKind::custom, "a@b.io"};
    const TextSelection emailSpanOtherCase{{0, 0, 1, 1}, RedactionKind::email, "A@B.IO"};
    const TextSelection otherEmail{{0, 0, 1, 1}, RedactionKind::email, "c@d.io"};
    const std::vector<DetectionSample> samples = {
        sample({line("mail a@b.io", box, 1, {emailSpan})}),
        sample({line("mail a@b.io", box, 1, {emailSpanOtherCase})}), // joins: same normalised span
        sample({line("mail a@b.io", box, 1, {customSpan})}),          // kind differs
        sample({line("mail a@b.io", box, 1, {otherEmail})}),          // span text differs
        sample({line("mail a@b.io", box, 1, {})}),                    // no span
        sample({line("mail a@b.io", box, 1, {emailSpan, emailSpan})}), // span list differs
    };
    EXPECT_EQ(membersOf(build(samples)),
              (std::vector<Members>{{{0, 0}, {1, 0}}, {{2, 0}}, {{3, 0}}, {{4, 0}}, {{5, 0}}}));
}

TEST(TextTemplateBuilder, samplesWithoutMotionAreSkipped)
{
    const std::vector<DetectionSample> samples = {sample({line("a", box)}), sample({line("a", box), line("b", box)}),
                                                  sample({line("a", box)})};
    const Motions motions = {MotionTransform::identity(), std::nullopt, MotionTransform::identity()};
    const auto templates = build(samples, motions);
    EXPECT_EQ(membersOf(templates), (std::vector<Members>{{{0, 0}, {2, 0}}}));
}

TEST(TextTemplateBuilder, referenceIsClosestToTheMedian)
{
    // The first member sits off the median, so a later one represents the cluster.
    const std::vector<DetectionSample> samples = {
        sample({line("m", {0.12, 0.4, 0.25, 0.0625})}),
        sample({line("m", {0.1, 0.4, 0.25, 0.0625})}),
        sample({line("m", {0.1, 0.4, 0.25, 0.0625})}),
    };
    const auto templates = build(samples);
    ASSERT_EQ(templates.size(), 1u);
    EXPECT_EQ(templates[0].referenceFrame, 1);
}

TEST(TextTemplateBuilder, referenceIsTakenWhereTheLineSatStill)
{
    // A pane the frame's motion does not describe scrolls its line away
    // (frames 3 and 4, elsewhere) and back to a place a little off the first
    // (frame 5 on, most members). Frame 5 is where the pane was still
    // settling: it starts the run, so frame 6, inside it, is the reference.
    const NormalizedRect first{0.1, 0.5, 0.3, 0.05};
    const NormalizedRect back{0.1, 0.508, 0.3, 0.05};
    std::vector<DetectionSample> samples;
    for (int f = 0; f < 11; ++f) {
        const NormalizedRect place = f < 3 ? first : f < 5 ? NormalizedRect{0.1, 0.35 + 0.1 * f, 0.3, 0.05} : back;
        samples.push_back(sample({line("+852 2861 7340", place)}, 0, f / 30.0));
    }
    const auto templates = build(samples);
    const auto withFrame0 = std::find_if(templates.begin(), templates.end(), [](const DetectionTemplate& t) {
        return !t.observations.empty() && t.observations.front().frame == 0;
    });
    ASSERT_NE(withFrame0, templates.end());
    ASSERT_EQ(withFrame0->observations.size(), 9u) << "the line back in place joins its first cluster";
    EXPECT_EQ(withFrame0->referenceFrame, 6);

    // A line seen only at the ends of runs keeps the usual choice.
    const auto pair = build({sample({line("t", first)}, 0, 0), sample({line("t", back)}, 0, 1 / 30.0)});
    EXPECT_EQ(pair.at(0).referenceFrame, 0);
}

TEST(TextTemplateBuilder, linesOfAPaneMovingAgainstTheMotionStayInTheirTemplates)
{
    // The frames' motion says nothing moved; a pane's two lines step down by
    // their own height each frame, so their canonical boxes never overlap.
    const auto moving = [](std::vector<std::string> texts, std::vector<double> x) {
        std::vector<DetectionSample> samples;
        for (int f = 0; f < 6; ++f) {
            std::vector<DetectedRegion> regions;
            for (std::size_t k = 0; k < texts.size(); ++k)
                regions.push_back(line(texts[k], {x[k], 0.2 + 0.1 * static_cast<double>(k) + 0.04 * f, 0.3, 0.04}));
            samples.push_back(sample(regions, 0, f / 30.0));
        }
        return samples;
    };
    const auto pane = build(moving({"alpha beta gamma", "delta epsilon"}, {0.1, 0.1}));
    ASSERT_EQ(pane.size(), 2u) << "one template per line of the pane";
    for (const DetectionTemplate& t : pane)
        EXPECT_EQ(t.observations.size(), 6u);

    // One line alone off its place is not a pane: a template per place.
    EXPECT_EQ(build(moving({"alpha beta gamma"}, {0.1})).size(), 6u);

    // Gaps longer than a few frames break the run.
    auto sparse = moving({"alpha beta gamma", "delta epsilon"}, {0.1, 0.1});
    for (std::size_t f = 0; f < sparse.size(); ++f)
        sparse[f].time = static_cast<double>(f) * 0.2;
    EXPECT_EQ(build(sparse).size(), 12u);
}

TEST(TextTemplateBuilder, aCopyOfATextFoundInItsPlaceIsNotAPaneMoving)
{
    // A sheet repeats a value in two rows; the motion describes the page (the
    // first copy stays in its canonical place). The second copy and another
    // text jumping alike in the next frame are new lines, not the old ones moved.
    const NormalizedRect first{0.1, 0.2, 0.3, 0.04};
    const NormalizedRect second{0.1, 0.6, 0.3, 0.04};
    const NormalizedRect other{0.5, 0.6, 0.3, 0.04};
    const auto down = [](NormalizedRect rect) {
        rect.y += 0.1;
        return rect;
    };
    const std::vector<DetectionSample> samples = {
        sample({line("x@y.io", first), line("x@y.io", second), line("total 42", other)}, 0, 0),
        sample({line("x@y.io", first), line("x@y.io", down(second)), line("total 42", down(other))}, 0,
               1 / 30.0),
    };
    const auto templates = build(samples);
    std::size_t copies = 0;
    for (const DetectionTemplate& t : templates)
        if (t.canonicalRegion.text == "x@y.io")
            ++copies;
    EXPECT_EQ(copies, 3u) << "the copy in its place joins the first, the moved copy starts its own";
}

TEST(TextTemplateBuilder, referenceWeighsConfidence)
{
    std::vector<DetectionSample> samples;
    for (float confidence : {0.5f, 1.0f, 0.9f})
        samples.push_back(sample({line("c", box, confidence)}));
    EXPECT_EQ(build(samples)[0].referenceFrame, 1);
    EXPECT_EQ(build(samples)[0].referenceRegion.confidence, 1.0f);
}

TEST(TextTemplateBuilder, nearlyEqualScoresCountAsTies)
{
    // Confidence differences weigh 0.15: 5e-6 lies inside the 1e-6 tolerance, 1e-5 outside.
    const auto referenceWith = [](float first, float second) {
        return build({sample({line("t", box, first)}), sample({line("t", box, second)})})[0].referenceFrame;
    };
    EXPECT_EQ(referenceWith(0.999995f, 1.0f), 0);
    EXPECT_EQ(referenceWith(0.99999f, 1.0f), 1);
}

TEST(TextTemplateBuilder, tiedScoresPreferTheTallerFrameBox)
{
    // Same canonical box; the second sample is zoomed in, so its frame box is taller.
    const NormalizedRect canonical{0.125, 0.25, 0.25, 0.0625};
    const MotionTransform zoom(2, 0, 0);
    const std::vector<DetectionSample> samples = {sample({line("z", canonical)}),
                                                  sample({line("z", zoom.applying(canonical))})};
    const auto templates = build(samples, {MotionTransform::identity(), zoom});
    ASSERT_EQ(templates.size(), 1u);
    EXPECT_EQ(templates[0].referenceFrame, 1);
    EXPECT_EQ(templates[0].referenceRegion.rect, zoom.applying(canonical));
    EXPECT_EQ(templates[0].canonicalRegion.rect, canonical);

    // Equal heights: the earlier sample stays.
    EXPECT_EQ(build({sample({line("z", canonical)}), sample({line("z", canonical)})})[0].referenceFrame, 0);
}

TEST(TextTemplateBuilder, referencePrefersMembersClearOfTheBorder)
{
    // Identical in canonical space; only the second keeps clear of the left edge.
    const NormalizedRect touching{0, 0.4, 0.25, 0.0625};
    const MotionTransform shift(1, 0.0625, 0);
    const std::vector<DetectionSample> samples = {sample({line("edge", touching)}),
                                                  sample({line("edge", shift.applying(touching))})};
    EXPECT_EQ(build(samples, {MotionTransform::identity(), shift})[0].referenceFrame, 1);

    // All members touch the border: the pool falls back to all of them.
    const NormalizedRect bottom{0.25, 0.9375, 0.25, 0.0625};
    const auto templates = build({sample({line("edge", bottom, 0.5f)}), sample({line("edge", bottom, 0.9f)})});
    ASSERT_EQ(templates.size(), 1u);
    EXPECT_EQ(templates[0].referenceFrame, 1);
}

TEST(TextTemplateBuilder, timelineEntryRunsTheBuilder)
{
    const std::vector<DetectionSample> samples = {sample({line("a", box), line("b", box)}, 1),
                                                  sample({line("b", box)}, 1)};
    const Motions motions = still(2);
    const auto templates = DetectionTimeline::templates(samples, motions);
    EXPECT_EQ(templates, build(samples, motions));
    EXPECT_EQ(membersOf(templates), (std::vector<Members>{{{0, 0}}, {{0, 1}, {1, 0}}}));
}

struct NormalizedCase {
    const char* input;
    const char* expected;
};

TEST(TextTemplateBuilder, normalizedTextKeepsLettersAndNumbers)
{
    const NormalizedCase cases[] = {
        {"", ""},
        {"Hello, World! 123", "helloworld123"},
        {"\u00DCber-Stra\u00DFe", "\u00FCberstra\u00DFe"},
        {"A\u0301B", "a\u0301b"},                               // a mark stays with its letter
        {"\u4E2D\u6587\uFF0C\u6D4B\u8BD5", "\u4E2D\u6587\u6D4B\u8BD5"},
        {"\U0001F600 ok \u2192 \u00BD \u216B", "ok\u00BD\u217B"}, // symbols dropped, number forms kept
        {"\u0395\u039B\u039B\u0391\u03A3", "\u03B5\u03BB\u03BB\u03B1\u03C2"}, // final sigma
        {"\u0661\u0662 \t\n", "\u0661\u0662"},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(TextTemplateBuilder::normalizedText(input), expected) << input;
}

using TextTemplateBuilderDeathTest = ::testing::Test;

TEST_F(TextTemplateBuilderDeathTest, unequalInputsStopTheProgram)
{
    const std::vector<DetectionSample> samples = {sample({})};
    const Motions motions;
    EXPECT_DEATH(TextTemplateBuilder(samples, motions), "1 samples but 0 motions");
}

} // namespace
} // namespace scrivel
