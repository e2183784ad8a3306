#include "ScrivelApp/ManualMaskGeometry.hpp"
#include "ScrivelApp/PlayerViewGeometry.hpp"

#include <cmath>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

namespace scrivel {
namespace {

constexpr double tolerance = 1e-9;

void expectRect(const PlayerRect& actual, const PlayerRect& expected) {
    EXPECT_NEAR(actual.x, expected.x, tolerance);
    EXPECT_NEAR(actual.y, expected.y, tolerance);
    EXPECT_NEAR(actual.width, expected.width, tolerance);
    EXPECT_NEAR(actual.height, expected.height, tolerance);
}

// --- drawn masks -----------------------------------------------------------

TEST(ManualMaskGeometry, NormalisesTheClippedDrag) {
    const PlayerRect picture{100, 50, 400, 200};
    struct Case {
        const char* name;
        ViewPoint start;
        ViewPoint end;
        std::optional<NormalizedRect> expected;
    };
    const std::vector<Case> cases{
        {"inside", {150, 100}, {250, 150}, NormalizedRect{0.125, 0.25, 0.25, 0.25}},
        {"dragged up and left", {250, 150}, {150, 100}, NormalizedRect{0.125, 0.25, 0.25, 0.25}},
        {"far outside is clipped", {450, 200}, {10000, -10000}, NormalizedRect{0.875, 0, 0.125, 0.75}},
        {"exactly four points", {150, 100}, {154, 104}, NormalizedRect{0.125, 0.25, 0.01, 0.02}},
        {"three points wide", {150, 100}, {153, 200}, std::nullopt},
        {"three points tall", {150, 100}, {300, 103}, std::nullopt},
        {"clipped below four points", {497, 100}, {900, 200}, std::nullopt},
        {"starts left of the picture", {99, 100}, {300, 200}, std::nullopt},
        {"starts on the far edge", {500, 100}, {300, 200}, std::nullopt},
        {"starts below the picture", {200, 250}, {300, 100}, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<NormalizedRect> rect = ManualMaskGeometry::rect(c.start, c.end, picture);
        ASSERT_EQ(rect.has_value(), c.expected.has_value()) << c.name;
        if (!rect) continue;
        EXPECT_NEAR(rect->x, c.expected->x, tolerance) << c.name;
        EXPECT_NEAR(rect->y, c.expected->y, tolerance) << c.name;
        EXPECT_NEAR(rect->width, c.expected->width, tolerance) << c.name;
        EXPECT_NEAR(rect->height, c.expected->height, tolerance) << c.name;
    }
}

TEST(ManualMaskGeometry, NoMaskOnAnEmptyPicture) {
    EXPECT_FALSE(ManualMaskGeometry::rect({0, 0}, {50, 50}, PlayerRect{0, 0, 0, 100}));
    EXPECT_FALSE(ManualMaskGeometry::rect({0, 0}, {50, 50}, PlayerRect{}));
}

// --- layout, zoom and pan ----------------------------------------------------

TEST(PlayerViewLayout, ClampsThePanToKeepTheViewCovered) {
    const PlayerRect bounds{0, 0, 400, 300};
    struct Case {
        Viewport viewport;
        ViewPoint pan;
        PlayerRect frame;
    };
    const std::vector<Case> cases{
        {{1, {5, -5}}, {0, 0}, {0, 0, 400, 300}},
        {{2, {1000, -1000}}, {200, -150}, {0, -300, 800, 600}},
        {{2, {-50, 20}}, {-50, 20}, {-250, -130, 800, 600}},
        {{8, {-1e9, 1e9}}, {-1400, 1050}, {-2800, 0, 3200, 2400}},
    };
    for (const Case& c : cases) {
        Viewport viewport = c.viewport;
        const PlayerRect frame = PlayerViewGeometry::layout(viewport, bounds);
        EXPECT_NEAR(viewport.pan.x, c.pan.x, tolerance);
        EXPECT_NEAR(viewport.pan.y, c.pan.y, tolerance);
        expectRect(frame, c.frame);
        // The magnified picture always covers the whole view.
        EXPECT_LE(frame.minX(), bounds.minX() + tolerance);
        EXPECT_LE(frame.minY(), bounds.minY() + tolerance);
        EXPECT_GE(frame.maxX(), bounds.maxX() - tolerance);
        EXPECT_GE(frame.maxY(), bounds.maxY() - tolerance);
    }
}

TEST(PlayerViewLayout, FitsThePictureWithItsAspect) {
    const PlayerRect frame{0, 0, 400, 300};
    expectRect(PlayerViewGeometry::aspectFit(frame, 1920, 1080), {0, 37.5, 400, 225});
    expectRect(PlayerViewGeometry::aspectFit(frame, 1080, 1920), {115.625, 0, 168.75, 300});
    expectRect(PlayerViewGeometry::aspectFit(frame, 4, 3), {0, 0, 400, 300});
    expectRect(PlayerViewGeometry::aspectFit({-250, -130, 800, 600}, 1600, 600), {-250, 20, 800, 300});
    EXPECT_TRUE(PlayerViewGeometry::aspectFit(frame, 0, 1080).isEmpty());
}

// Where a view point lies in the picture, as fractions of the layer frame.
ViewPoint fractionUnder(ViewPoint point, Viewport viewport, const PlayerRect& bounds) {
    const PlayerRect frame = PlayerViewGeometry::layout(viewport, bounds);
    return {(point.x - frame.x) / frame.width, (point.y - frame.y) / frame.height};
}

TEST(PlayerViewZoom, PinchKeepsThePointUnderThePointer) {
    const PlayerRect bounds{0, 0, 400, 300};
    struct Case {
        Viewport start;
        double magnification;
        ViewPoint center;
    };
    const std::vector<Case> cases{
        {{1, {0, 0}}, 1.0, {300, 150}},
        {{1, {0, 0}}, 0.25, {10, 290}},
        {{2, {-50, 20}}, 0.5, {120, 80}},
        {{4, {100, -100}}, -0.25, {200, 150}},
    };
    for (const Case& c : cases) {
        const ViewPoint before = fractionUnder(c.center, c.start, bounds);
        Viewport viewport = c.start;
        PlayerViewGeometry::pinch(viewport, c.magnification, c.center, bounds);
        EXPECT_NEAR(viewport.zoom, c.start.zoom * (1 + c.magnification), tolerance);
        const ViewPoint after = fractionUnder(c.center, viewport, bounds);
        EXPECT_NEAR(after.x, before.x, 1e-9) << c.magnification;
        EXPECT_NEAR(after.y, before.y, 1e-9) << c.magnification;
    }
}

TEST(PlayerViewZoom, ZoomStaysBetweenOneAndEight) {
    const PlayerRect bounds{0, 0, 400, 300};
    Viewport viewport{6, {0, 0}};
    PlayerViewGeometry::pinch(viewport, 1.0, {300, 200}, bounds);
    EXPECT_EQ(viewport.zoom, 8);
    // The ratio actually applied (8/6) decides the pan, not the asked-for one.
    EXPECT_NEAR(viewport.pan.x, (1 - 8.0 / 6) * 100, tolerance);
    EXPECT_NEAR(viewport.pan.y, (1 - 8.0 / 6) * 50, tolerance);

    viewport = Viewport{2, {-100, 40}};
    PlayerViewGeometry::pinch(viewport, -0.9, {0, 0}, bounds);
    EXPECT_EQ(viewport.zoom, 1);
    PlayerViewGeometry::layout(viewport, bounds);
    EXPECT_EQ(viewport.pan, (ViewPoint{0, 0}));
}

TEST(PlayerViewZoom, ScrollingPansOnlyWhenMagnified) {
    Viewport flat{1, {0, 0}};
    EXPECT_FALSE(PlayerViewGeometry::scroll(flat, 10, -5));
    EXPECT_EQ(flat, (Viewport{1, {0, 0}}));

    Viewport zoomed{2, {3, 4}};
    EXPECT_TRUE(PlayerViewGeometry::scroll(zoomed, 10, -5));
    EXPECT_EQ(zoomed.pan, (ViewPoint{-7, 9}));
    EXPECT_EQ(zoomed.zoom, 2);
}

// --- selecting a track by clicking its mask ---------------------------------

DetectedRegion region(std::int64_t track, NormalizedRect rect, std::vector<NormalizedRect> selections) {
    DetectedRegion r;
    r.trackID = track;
    r.rect = rect;
    for (const NormalizedRect& s : selections) r.selections.push_back(TextSelection{s, RedactionKind::all, "x"});
    return r;
}

// A 1000 × 500 video shown at 0.4: a view point is (pixel × 0.4) from the
// picture's top-left corner.
ViewPoint atPixel(double x, double yFromTop) { return {20 + x * 0.4, 10 + yFromTop * 0.4}; }

TEST(PlayerViewHitTest, SmallestPaddedMaskUnderTheClickWins) {
    const PlayerRect picture{20, 10, 400, 200};
    RenderSettings settings = startingRenderSettings();
    const std::vector<DetectedRegion> regions{
        region(1, {0.1, 0.1, 0.5, 0.2}, {{0, 0, 1, 1}}),     // pixels x 100..600, y 50..150 from the top
        region(2, {0.2, 0.1, 0.2, 0.2}, {{0, 0, 1, 1}}),     // x 200..400 inside track 1
        region(3, {0.5, 0.5, 0.4, 0.2}, {{0.5, 0, 0.5, 1}}), // only x 700..900, y 250..350 is masked
        region(5, {0.05, 0.8, 0.1, 0.1}, {{0, 0, 1, 1}}),    // x 50..150, y 400..450
        region(4, {0.05, 0.8, 0.1, 0.1}, {{0, 0, 1, 1}}),    // the same rectangle, listed later
    };
    struct Case {
        const char* name;
        ViewPoint click;
        std::optional<std::int64_t> track;
    };
    const std::vector<Case> cases{
        {"nested masks", atPixel(300, 100), 2},
        {"outer mask only", atPixel(150, 100), 1},
        {"unmasked part of a region", atPixel(650, 300), std::nullopt},
        {"masked part of a region", atPixel(800, 300), 3},
        {"equal areas: first listed", atPixel(100, 420), 5},
        {"empty picture area", atPixel(900, 20), std::nullopt},
        {"upside-down position of a mask", atPixel(300, 400), std::nullopt},
        {"outside the picture", {10, 5}, std::nullopt},
        {"bottom edge of the picture", {100, 210}, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PlayerViewGeometry::hitTrack(regions, c.click, picture, 1000, 500, settings), c.track) << c.name;
    }
}

TEST(PlayerViewHitTest, PaddingWidensAndShrinksTheTarget) {
    const PlayerRect picture{20, 10, 400, 200};
    const std::vector<DetectedRegion> regions{
        region(7, {0.7, 0.1, 0.02, 0.04}, {{0, 0, 1, 1}}), // pixels x 700..720, y 50..70 from the top
        region(8, {0.6, 0.0, 0.2, 0.3}, {{0, 0, 1, 1}}),   // x 600..800, y 0..150
    };
    RenderSettings settings = startingRenderSettings();
    // Right of the small mask: only the large one is hit.
    EXPECT_EQ(PlayerViewGeometry::hitTrack(regions, atPixel(730, 60), picture, 1000, 500, settings), 8);
    // Padded 20 pixels to the right, the small mask reaches the click and is smaller.
    settings.padding.right = 20;
    EXPECT_EQ(PlayerViewGeometry::hitTrack(regions, atPixel(730, 60), picture, 1000, 500, settings), 7);
    // Bottom padding grows the mask downwards in the picture.
    settings.padding = MaskPadding{0, 0, 15, 0};
    EXPECT_EQ(PlayerViewGeometry::hitTrack(regions, atPixel(710, 80), picture, 1000, 500, settings), 7);
    EXPECT_EQ(PlayerViewGeometry::hitTrack(regions, atPixel(710, 40), picture, 1000, 500, settings), 8);
    // Negative padding that consumes a mask makes it untouchable.
    settings.padding = MaskPadding{-20, -20, -20, -20};
    EXPECT_EQ(PlayerViewGeometry::hitTrack(regions, atPixel(710, 60), picture, 1000, 500, settings), 8);
}

} // namespace
} // namespace scrivel
