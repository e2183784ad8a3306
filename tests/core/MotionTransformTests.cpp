#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ScrivelCore/MotionTransform.hpp"

namespace scrivel {
namespace {

void expectNear(const MotionTransform& actual, const MotionTransform& expected)
{
    EXPECT_NEAR(actual.scale(), expected.scale(), 1e-12);
    EXPECT_NEAR(actual.tx(), expected.tx(), 1e-12);
    EXPECT_NEAR(actual.ty(), expected.ty(), 1e-12);
}

TEST(MotionTransform, identityLeavesRectangles)
{
    const NormalizedRect rects[] = {{0.1, 0.2, 0.3, 0.4}, {-0.5, 1.5, -0.2, 0}, {0, 0, 1, 1}};
    for (const NormalizedRect& rect : rects)
        EXPECT_EQ(MotionTransform::identity().applying(rect), rect);
    EXPECT_EQ(MotionTransform::identity(), MotionTransform(1, 0, 0));
}

TEST(MotionTransform, composingWithInverseGivesIdentity)
{
    const MotionTransform transforms[] = {{2, 0.1, 0}, {0.37, -0.25, 0.9}, {1.8, 3, -7}, {1, 0, 0.5}};
    for (const MotionTransform& t : transforms) {
        expectNear(t.composed(t.inverted()), MotionTransform::identity());
        expectNear(t.inverted().composed(t), MotionTransform::identity());
    }
}

TEST(MotionTransform, inverseMapsPointsBack)
{
    const MotionTransform t(0.8, 0.05, -0.3);
    const NormalizedRect rect{0.2, 0.6, 0.1, 0.05};
    const NormalizedRect back = t.inverted().applying(t.applying(rect));
    EXPECT_NEAR(back.x, rect.x, 1e-12);
    EXPECT_NEAR(back.y, rect.y, 1e-12);
    EXPECT_NEAR(back.width, rect.width, 1e-12);
    EXPECT_NEAR(back.height, rect.height, 1e-12);
    EXPECT_EQ(MotionTransform(2, 0.1, -0.4).inverted(), MotionTransform(0.5, -0.05, 0.2));
}

TEST(MotionTransform, compositionOrderMatters)
{
    const MotionTransform t(2, 0.1, 0);
    const MotionTransform u(1, 0, 0.2);
    expectNear(t.composed(u), MotionTransform(2, 0.1, 0.4));
    expectNear(u.composed(t), MotionTransform(2, 0.1, 0.2));
}

TEST(MotionTransform, appliesToRectanglesWithoutClamping)
{
    EXPECT_EQ(MotionTransform(0.5, 0.25, 0.25).applying(NormalizedRect{0, 0, 1, 1}),
              (NormalizedRect{0.25, 0.25, 0.5, 0.5}));
    EXPECT_EQ(MotionTransform(2, 0.5, -0.5).applying(NormalizedRect{0.25, 0.125, 0.5, 0.25}),
              (NormalizedRect{1, -0.25, 1, 0.5}));
}

TEST(MotionTransform, appliesToRegionRectOnly)
{
    DetectedRegion region;
    region.rect = {0.25, 0.5, 0.25, 0.125};
    region.confidence = 0.75f;
    region.text = "Call 12345678";
    region.selections = {{{0.5, 0, 0.5, 1}, RedactionKind::phone, "12345678"}};
    region.trackID = 7;
    region.backgroundColor = 0x00FF8800;

    DetectedRegion expected = region;
    expected.rect = {0.5, 0.25, 0.5, 0.25};
    EXPECT_EQ(MotionTransform(2, 0, -0.75).applying(region), expected);
}

using MotionTransformDeathTest = ::testing::Test;

TEST_F(MotionTransformDeathTest, breachOfInvariantStopsTheProgram)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_DEATH(MotionTransform(0, 0, 0), "scale 0");
    EXPECT_DEATH(MotionTransform(-1, 0, 0), "scale -1");
    EXPECT_DEATH(MotionTransform(nan, 0, 0), "invalid motion transform");
    EXPECT_DEATH(MotionTransform(inf, 0, 0), "invalid motion transform");
    EXPECT_DEATH(MotionTransform(1, inf, 0), "invalid motion transform");
    EXPECT_DEATH(MotionTransform(1, 0, nan), "invalid motion transform");
    // Results are checked too: an overflowing product or reciprocal.
    EXPECT_DEATH(MotionTransform(1e300, 0, 0).composed(MotionTransform(1e300, 0, 0)), "scale inf");
    EXPECT_DEATH(MotionTransform::unchecked(0, 0, 0).inverted(), "scale inf");
}

} // namespace
} // namespace scrivel
