#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include <opencv2/imgproc.hpp>

#include "render/BlurRenderer.hpp"

namespace scrivel {
namespace {

using BlurRenderer::makeMask;

RenderSettings plainSettings(MaskStyle style)
{
    RenderSettings settings;
    settings.style = style;
    settings.blurRadius = 24;
    settings.pixelSize = 12;
    settings.opacity = 1;
    settings.solidColor = 0xFFFFFF;
    return settings;
}

Image filled(int width, int height, cv::Scalar bgr)
{
    return Image(cv::Mat(height, width, CV_8UC3, bgr));
}

// A frame with detail everywhere, so that any change shows.
Image textured(int width, int height)
{
    cv::Mat pixels(height, width, CV_8UC3);
    for (int row = 0; row < height; ++row)
        for (int x = 0; x < width; ++x)
            pixels.at<cv::Vec3b>(row, x) = cv::Vec3b(static_cast<uchar>((x * 37 + row * 11) % 256),
                                                     static_cast<uchar>((x * 5 + row * 53) % 256),
                                                     static_cast<uchar>((x * row) % 256));
    return Image(pixels);
}

// A region whose single selection covers the whole line.
DetectedRegion regionAt(NormalizedRect rect, std::int64_t trackID = 1, std::uint32_t background = 0x202020)
{
    DetectedRegion region;
    region.rect = rect;
    region.selections.push_back({{0, 0, 1, 1}, RedactionKind::all, "secret"});
    region.trackID = trackID;
    region.backgroundColor = background;
    return region;
}

bool identical(const Image& a, const Image& b)
{
    return a.pixels.size() == b.pixels.size() && cv::norm(a.pixels, b.pixels, cv::NORM_INF) == 0;
}

cv::Vec3b pixel(const Image& image, int x, int row)
{
    return image.pixels.at<cv::Vec3b>(row, x);
}

std::uint64_t fnv1a(const Image& image)
{
    std::uint64_t hash = 1469598103934665603ull;
    for (int row = 0; row < image.height(); ++row)
        for (int x = 0; x < image.width() * 3; ++x) {
            hash ^= image.pixels.ptr<uchar>(row)[x];
            hash *= 1099511628211ull;
        }
    return hash;
}

// --- Geometry -------------------------------------------------------------

TEST(MaskRect, ConvertsToBottomUpPixelsWithPadding)
{
    RenderSettings settings = plainSettings(MaskStyle::solid);
    settings.padding = {1, 2, 3, 4}; // top, right, bottom, left
    const FrameRect extent{0, 0, 100, 50};
    const auto rect = BlurRenderer::maskRect({0.1, 0.2, 0.3, 0.4}, extent, settings);
    ASSERT_TRUE(rect);
    // Left edge 10 - 4; in bottom-up pixels the lower edge is 50·(1 - 0.2 - 0.4) - 3.
    EXPECT_EQ(*rect, (FrameRect{6, 17, 36, 24}));

    settings.padding = {-10, -20, -10, -20};
    EXPECT_FALSE(BlurRenderer::maskRect({0.1, 0.2, 0.3, 0.4}, extent, settings)) << "padding eats the width";
    EXPECT_FALSE(BlurRenderer::maskRect({0.1, 0.2, 0, 0.4}, extent, plainSettings(MaskStyle::solid)));
}

// --- Coverage mask -------------------------------------------------------

TEST(CoverageMask, PixelCentredOnTheEdgeIsHalfCovered)
{
    const FrameRect extent{0, 0, 40, 20};
    const auto mask = makeMask({{10.5, 4, 10, 8}}, extent, 0, 0, 1, 0);
    const int row = 20 - 1 - 8; // bottom-up y 8 is in the middle of the rectangle
    EXPECT_EQ(mask.at(9, row), 0);
    EXPECT_EQ(mask.at(10, row), 128); // round(0.5·255), halves away from zero
    EXPECT_EQ(mask.at(11, row), 255);
    EXPECT_EQ(mask.at(19, row), 255);
    EXPECT_EQ(mask.at(20, row), 128); // right edge at 20.5
    EXPECT_EQ(mask.at(21, row), 0);
    // Integer edges: the outermost pixels are fully inside.
    const auto square = makeMask({{4, 4, 6, 6}}, extent, 0, 0, 1, 0);
    EXPECT_EQ(square.at(4, 20 - 1 - 4), 255);
    EXPECT_EQ(square.at(3, 20 - 1 - 4), 0);
    EXPECT_EQ(square.at(4, 20 - 1 - 3), 0);
}

TEST(CoverageMask, FeatherRampsFromTheEdgeToFullDepth)
{
    const FrameRect extent{0, 0, 60, 60};
    const auto mask = makeMask({{10, 10, 40, 40}}, extent, 0, 10, 1, 0);
    const int row = 60 - 1 - 30; // centre row: only the column distance matters
    EXPECT_EQ(mask.at(9, row), 0);
    for (int depth = 0; depth < 14; ++depth) {
        // Pixel centres lie depth + 0.5 inside the edge.
        const double expected = std::min((depth + 0.5) / 10, 1.0);
        EXPECT_EQ(mask.at(10 + depth, row), std::round(expected * 255)) << "depth " << depth;
        EXPECT_EQ(mask.at(49 - depth, row), std::round(expected * 255)) << "depth " << depth << " from the right";
    }
}

TEST(CoverageMask, CornerRadiusIsLimitedToHalfTheShorterSide)
{
    const FrameRect extent{0, 0, 40, 30};
    const FrameRect rect{5, 5, 20, 10};
    const auto limited = makeMask({rect}, extent, 1000, 0, 1, 0);
    EXPECT_EQ(limited.bytes, makeMask({rect}, extent, 5, 0, 1, 0).bytes);
    EXPECT_NE(limited.bytes, makeMask({rect}, extent, 3, 0, 1, 0).bytes);
    // The corner pixel's centre is hypot(4.5, 4.5) ≈ 6.4 from the centre of a
    // radius-5 arc, more than half a pixel outside it...
    const int topRow = 30 - 1 - 14;
    EXPECT_EQ(limited.at(5, topRow), 0);
    // ...yet is full with square corners; the middle of the top side is full either way.
    EXPECT_EQ(makeMask({rect}, extent, 0, 0, 1, 0).at(5, topRow), 255);
    EXPECT_EQ(limited.at(15, topRow), 255);
}

TEST(CoverageMask, OutlineIsABandTwoPixelsWide)
{
    const FrameRect extent{0, 0, 40, 40};
    const auto mask = makeMask({{10, 10, 20, 20}}, extent, 0, 0, 1, 2);
    const int row = 40 - 1 - 20;
    EXPECT_EQ(mask.at(9, row), 0);
    EXPECT_EQ(mask.at(10, row), 255);
    EXPECT_EQ(mask.at(11, row), 255);
    EXPECT_EQ(mask.at(12, row), 0);
    EXPECT_EQ(mask.at(20, row), 0) << "the inside stays clear";
    EXPECT_EQ(mask.at(28, row), 255);
    EXPECT_EQ(mask.at(29, row), 255);
    EXPECT_EQ(mask.at(30, row), 0);
}

TEST(CoverageMask, OverlapsKeepTheMaximum)
{
    const FrameRect extent{0, 0, 50, 40};
    const FrameRect a{5, 5, 25, 20};
    const FrameRect b{15.3, 10.7, 30, 25};
    const auto alone = makeMask({a}, extent, 4, 6, 0.8, 0);
    const auto other = makeMask({b}, extent, 4, 6, 0.8, 0);
    const auto both = makeMask({a, b}, extent, 4, 6, 0.8, 0);
    for (std::size_t i = 0; i < both.bytes.size(); ++i)
        ASSERT_EQ(both.bytes[i], std::max(alone.bytes[i], other.bytes[i])) << "byte " << i;
}

TEST(CoverageMask, OpacityScalesCoverage)
{
    const auto mask = makeMask({{2, 2, 6, 6}}, {0, 0, 10, 10}, 0, 0, 0.5, 0);
    EXPECT_EQ(mask.at(4, 4), 128);
}

// --- Frames ---------------------------------------------------------------

TEST(BlurRenderer, SolidMaskFillsExactlyTheRectangle)
{
    // Independent expectation: an integer-aligned rectangle with square corners
    // covers its pixels fully and nothing else.
    const Image source = textured(64, 48);
    RenderSettings settings = plainSettings(MaskStyle::solid);
    settings.solidColor = 0x336699;
    const DetectedRegion region = regionAt({0.25, 0.5, 0.5, 0.25}); // x 16..48, rows 24..36
    const Image rendered = BlurRenderer::render(source, {region}, settings, 0, false);

    Image expected = source.clone();
    cv::rectangle(expected.pixels, cv::Rect(16, 24, 32, 12), cv::Scalar(0x99, 0x66, 0x33), cv::FILLED);
    EXPECT_TRUE(identical(rendered, expected));
    EXPECT_FALSE(identical(source, rendered)) << "render must not draw into its source";
}

TEST(BlurRenderer, MaskHalfOutsideTheFrameIsDrawnWhereItOverlaps)
{
    const Image source = filled(40, 20, {0, 0, 0});
    const Image rendered = BlurRenderer::render(source, {regionAt({0.75, 0.5, 0.5, 0.5})}, plainSettings(MaskStyle::solid), 0, false);
    Image expected = source.clone();
    cv::rectangle(expected.pixels, cv::Rect(30, 10, 10, 10), cv::Scalar(255, 255, 255), cv::FILLED);
    EXPECT_TRUE(identical(rendered, expected));
}

TEST(BlurRenderer, PaddingGrowsTheMaskByPixelsOnEachSide)
{
    const Image source = filled(40, 40, {0, 0, 0});
    RenderSettings settings = plainSettings(MaskStyle::solid);
    settings.padding = {1, 2, 3, 4};
    const Image rendered = BlurRenderer::render(source, {regionAt({0.25, 0.25, 0.5, 0.5})}, settings, 0, false);
    Image expected = source.clone();
    // Text at x 10..30, rows 10..30; padding left 4, right 2, top 1, bottom 3.
    cv::rectangle(expected.pixels, cv::Rect(6, 9, 26, 24), cv::Scalar(255, 255, 255), cv::FILLED);
    EXPECT_TRUE(identical(rendered, expected));
}

TEST(BlurRenderer, OverlappingMasksAreBlendedOnce)
{
    const Image source = filled(40, 20, {0, 0, 0});
    RenderSettings settings = plainSettings(MaskStyle::solid);
    settings.opacity = 0.5;
    const Image rendered = BlurRenderer::render(
        source, {regionAt({0.1, 0.1, 0.5, 0.5}), regionAt({0.3, 0.3, 0.5, 0.5})}, settings, 0, false);
    const uchar half = static_cast<uchar>((128 * 255 + 127) / 255);
    EXPECT_EQ(pixel(rendered, 6, 4), cv::Vec3b(half, half, half));
    EXPECT_EQ(pixel(rendered, 15, 8), cv::Vec3b(half, half, half)) << "overlap";
}

TEST(BlurRenderer, RegionsWithoutSelectionsOrExcludedTracksAreNotMasked)
{
    const Image source = textured(40, 40);
    RenderSettings settings = plainSettings(MaskStyle::solid);
    DetectedRegion bare = regionAt({0.1, 0.1, 0.5, 0.5}, 1);
    bare.selections.clear();
    settings.excludedTrackIDs = {2};
    EXPECT_TRUE(identical(BlurRenderer::render(source, {bare, regionAt({0.25, 0.25, 0.5, 0.5}, 2)}, settings, 0, false), source));

    // Shown regions: the excluded one gets a red band (1.0, 0.3, 0.3).
    const Image shown = BlurRenderer::render(source, {regionAt({0.25, 0.25, 0.5, 0.5}, 2)}, settings, 0, true);
    EXPECT_EQ(pixel(shown, 10, 20), cv::Vec3b(77, 77, 255));
    EXPECT_EQ(pixel(shown, 11, 20), cv::Vec3b(77, 77, 255));
    EXPECT_EQ(pixel(shown, 12, 20), pixel(source, 12, 20));
}

TEST(BlurRenderer, OutlinesAreDrawnOverTheMasks)
{
    const Image source = filled(40, 40, {0, 0, 0});
    RenderSettings settings = plainSettings(MaskStyle::solid);
    settings.opacity = 0; // the mask itself leaves the frame alone
    const Image rendered = BlurRenderer::render(source, {regionAt({0.25, 0.25, 0.5, 0.5})}, settings, 0, true);
    const cv::Vec3b green(140, 242, 26); // (0.1, 0.95, 0.55) in 8 bits, BGR
    EXPECT_EQ(pixel(rendered, 10, 20), green);
    EXPECT_EQ(pixel(rendered, 11, 20), green);
    EXPECT_EQ(pixel(rendered, 12, 20), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(pixel(rendered, 20, 10), green) << "top side";
    EXPECT_EQ(pixel(rendered, 9, 20), cv::Vec3b(0, 0, 0));
}

TEST(BlurRenderer, ManualMaskIsDrawnFromStartTimeUntilBeforeEndTime)
{
    const Image source = filled(40, 20, {200, 200, 200});
    RenderSettings settings = plainSettings(MaskStyle::blur);
    settings.manualMasks.push_back({"m", {0.5, 0, 0.5, 0.5}, 1.0, 2.0, true});
    const cv::Vec3b fill(24, 19, 16); // (0.063, 0.075, 0.094) as BGR bytes
    struct Case {
        double time;
        bool drawn;
    };
    for (const Case& c : {Case{0.999, false}, Case{1.0, true}, Case{1.5, true}, Case{2.0, false}}) {
        const Image rendered = BlurRenderer::render(source, {}, settings, c.time, false);
        EXPECT_EQ(pixel(rendered, 30, 5) == fill, c.drawn) << "t = " << c.time;
        EXPECT_EQ(pixel(rendered, 10, 5), cv::Vec3b(200, 200, 200));
        EXPECT_EQ(pixel(rendered, 30, 15), cv::Vec3b(200, 200, 200));
    }
    settings.manualMasks[0].enabled = false;
    EXPECT_TRUE(identical(BlurRenderer::render(source, {}, settings, 1.5, false), source));
}

TEST(BlurRenderer, ManualMaskCoversTheOutlines)
{
    const Image source = filled(40, 40, {0, 0, 0});
    RenderSettings settings = plainSettings(MaskStyle::solid);
    settings.opacity = 0;
    settings.manualMasks.push_back({"m", {0, 0, 1, 1}, 0, 10, true});
    const Image rendered = BlurRenderer::render(source, {regionAt({0.25, 0.25, 0.5, 0.5})}, settings, 0, true);
    EXPECT_EQ(pixel(rendered, 10, 20), cv::Vec3b(24, 19, 16));
}

TEST(BlurRenderer, OpacityZeroLeavesTheFrameForEveryEffectStyle)
{
    const Image source = textured(48, 32);
    for (MaskStyle style : {MaskStyle::blur, MaskStyle::pixelate, MaskStyle::solid}) {
        RenderSettings settings = plainSettings(style);
        settings.opacity = 0;
        EXPECT_TRUE(identical(BlurRenderer::render(source, {regionAt({0.1, 0.1, 0.8, 0.8})}, settings, 0, false), source))
            << rawValue(style);
    }
    // Skeleton still paints its boxes in the background colour, without bars.
    RenderSettings settings = plainSettings(MaskStyle::skeleton);
    settings.opacity = 0;
    const Image skeleton = BlurRenderer::render(source, {regionAt({0.25, 0.25, 0.5, 0.5}, 1, 0x102030)}, settings, 0, false);
    Image expected = source.clone();
    cv::rectangle(expected.pixels, cv::Rect(12, 8, 24, 16), cv::Scalar(0x30, 0x20, 0x10), cv::FILLED);
    EXPECT_TRUE(identical(skeleton, expected));
}

TEST(BlurRenderer, OutOfRangeSizesAreClamped)
{
    const Image source = textured(48, 32);
    const DetectedRegion region = regionAt({0.1, 0.1, 0.8, 0.8});
    RenderSettings blur = plainSettings(MaskStyle::blur);
    blur.blurRadius = -5;
    EXPECT_TRUE(identical(BlurRenderer::render(source, {region}, blur, 0, false), source));
    RenderSettings pixelate = plainSettings(MaskStyle::pixelate);
    pixelate.pixelSize = 0; // one-pixel cells: each cell is its own average
    EXPECT_TRUE(identical(BlurRenderer::render(source, {region}, pixelate, 0, false), source));
}

TEST(BlurRenderer, PixelCellsAreAnchoredAtTheBottomLeftAndAveraged)
{
    // 8 × 6 frame, cells of 4: bottom-up rows 0..3 are image rows 2..5; the
    // upper cell holds image rows 0..1 plus two rows beyond the frame, which
    // repeat row 0.
    cv::Mat pixels(6, 8, CV_8UC3, cv::Scalar(0, 0, 0));
    pixels.row(0).setTo(cv::Scalar(100, 100, 100));
    pixels.row(1).setTo(cv::Scalar(20, 20, 20));
    pixels.rowRange(2, 6).colRange(0, 4).setTo(cv::Scalar(40, 80, 120));
    pixels.at<cv::Vec3b>(5, 7) = cv::Vec3b(160, 160, 160);
    const Image source(pixels);
    RenderSettings settings = plainSettings(MaskStyle::pixelate);
    settings.pixelSize = 4;
    const Image rendered = BlurRenderer::render(source, {regionAt({0, 0, 1, 1})}, settings, 0, false);
    const uchar upper = 80; // (20 + 3·100) / 4
    EXPECT_EQ(pixel(rendered, 0, 0), cv::Vec3b(upper, upper, upper));
    EXPECT_EQ(pixel(rendered, 7, 1), cv::Vec3b(upper, upper, upper));
    EXPECT_EQ(pixel(rendered, 3, 5), cv::Vec3b(40, 80, 120));
    EXPECT_EQ(pixel(rendered, 4, 2), cv::Vec3b(10, 10, 10)); // 160 / 16
}

TEST(BlurRenderer, BlurOfAUniformFrameStaysUniformUpToTheBorder)
{
    const Image source = filled(120, 80, {30, 140, 220});
    EXPECT_TRUE(identical(BlurRenderer::render(source, {regionAt({0, 0, 1, 1})}, plainSettings(MaskStyle::blur), 0, false), source));
}

TEST(BlurRenderer, BlurMatchesAFullGaussianOfHalfTheRadius)
{
    // Squares of 20 pixels: strong structure at the scale the blur works on.
    cv::Mat squares(120, 160, CV_8UC3);
    for (int row = 0; row < 120; ++row)
        for (int x = 0; x < 160; ++x)
            squares.at<cv::Vec3b>(row, x) = ((row / 20 + x / 20) % 2) ? cv::Vec3b(250, 200, 20) : cv::Vec3b(10, 60, 240);
    const Image source(squares);
    for (double radius : {3.0, 8.0, 24.0}) {
        RenderSettings settings = plainSettings(MaskStyle::blur);
        settings.blurRadius = radius;
        const Image rendered = BlurRenderer::render(source, {regionAt({0.2, 0.3, 0.5, 0.4})}, settings, 0, false);
        cv::Mat reference;
        cv::GaussianBlur(source.pixels, reference, cv::Size(0, 0), radius / 2, radius / 2, cv::BORDER_REPLICATE);
        const cv::Rect inside(32, 36, 80, 48);
        cv::Mat difference;
        cv::absdiff(rendered.pixels(inside), reference(inside), difference);
        EXPECT_LE(cv::mean(difference)[0], 2.0) << "radius " << radius;
        EXPECT_TRUE(identical(Image(rendered.pixels(cv::Rect(0, 0, 160, 36)).clone()),
                              Image(source.pixels(cv::Rect(0, 0, 160, 36)).clone())))
            << "outside the mask nothing changes";
    }
}

TEST(BlurRenderer, DefaultBlurMakesSixteenPixelTextUnreadable)
{
    Image source = filled(320, 60, {255, 255, 255});
    // Roughly 16 px tall capitals.
    cv::putText(source.pixels, "ACCOUNT 4921 7730", {10, 38}, cv::FONT_HERSHEY_SIMPLEX, 0.7, {0, 0, 0}, 1, cv::LINE_AA);
    const Image rendered = BlurRenderer::render(source, {regionAt({0, 0, 1, 1})}, plainSettings(MaskStyle::blur), 0, false);
    // Detail at glyph scale (what a smoothing of sigma 2 would remove) is
    // what makes text legible; the blur must leave none of it.
    const auto detail = [](const cv::Mat& image) {
        cv::Mat grey, smooth, difference;
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
        cv::GaussianBlur(grey, smooth, cv::Size(0, 0), 2);
        cv::absdiff(grey, smooth, difference);
        double maximum = 0;
        cv::minMaxLoc(difference, nullptr, &maximum);
        return maximum;
    };
    EXPECT_GT(detail(source.pixels), 100);
    EXPECT_LE(detail(rendered.pixels), 2);
}

TEST(BlurRenderer, ChangedAreaHoldsEveryChangedPixel)
{
    const Image source = textured(120, 80);
    const std::vector<DetectedRegion> regions = {regionAt({0.1, 0.1, 0.3, 0.2}, 1), regionAt({0.5, 0.6, 0.45, 0.3}, 2),
                                                 regionAt({0.05, 0.7, 0.2, 0.2}, 3)};
    for (MaskStyle style : {MaskStyle::blur, MaskStyle::pixelate, MaskStyle::solid, MaskStyle::skeleton}) {
        RenderSettings settings = plainSettings(style);
        settings.cornerRadius = 3;
        settings.feather = 2;
        settings.padding = {2.5, 1, 0, 3.5};
        settings.pixelSize = 5.5;
        settings.excludedTrackIDs = {3};
        settings.manualMasks.push_back({"m", {0.8, 0.05, 0.15, 0.1}, 0, 1, true});
        const Image rendered = BlurRenderer::render(source, regions, settings, 0.5, true);
        const auto area = BlurRenderer::changedArea(regions, settings, 0.5, true, source.pixels.size());
        cv::Mat inside(source.pixels.size(), CV_8U, cv::Scalar(0));
        for (const cv::Rect& rect : area)
            inside(rect).setTo(255);
        cv::Mat changed;
        cv::compare(rendered.pixels.reshape(1), source.pixels.reshape(1), changed, cv::CMP_NE);
        changed = changed.reshape(3);
        int outside = 0, total = 0;
        for (int row = 0; row < source.height(); ++row)
            for (int x = 0; x < source.width(); ++x)
                if (changed.at<cv::Vec3b>(row, x) != cv::Vec3b(0, 0, 0)) {
                    ++total;
                    outside += inside.at<uchar>(row, x) == 0;
                }
        EXPECT_GT(total, 0) << rawValue(style);
        EXPECT_EQ(outside, 0) << rawValue(style);
    }
}

// --- Skeleton --------------------------------------------------------------

TEST(Skeleton, PaletteRunsTowardContrast)
{
    const auto dark = BlurRenderer::skeletonPalette(0x101318);
    EXPECT_EQ(dark.size(), 358u);
    EXPECT_EQ(dark[0], 0x101318u);
    // Index 256: 12 % of the way to white.
    EXPECT_EQ(dark[256], (std::uint32_t(std::round(16 + 239 * 256 * 0.12 / 255)) << 16) |
                             (std::uint32_t(std::round(19 + 236 * 256 * 0.12 / 255)) << 8) |
                             std::uint32_t(std::round(24 + 231 * 256 * 0.12 / 255)));
    const auto light = BlurRenderer::skeletonPalette(0xF0F0F0);
    EXPECT_LT(light[357] & 0xFF, 0xF0u) << "light backgrounds darken";
}

TEST(Skeleton, ShimmerIsFlatWithoutAnimationAndPeaksAtP037)
{
    const FrameRect bar{10, 0, 100, 10};
    for (int value : BlurRenderer::shimmerTable(bar, 0, 120, 0))
        EXPECT_EQ(value, 256);
    // p = (3(1 - e) + v) / 4: with 3(1 - e) / 4 = 0.37 the peak sits at the
    // bar's left end (v = 0) and the highlight falls off toward its right end.
    const double phase = 1 - 0.37 * 4 / 3;
    const auto table = BlurRenderer::shimmerTable(bar, 0, 120, phase);
    EXPECT_EQ(table[5], 358) << "left of the bar clamps to v = 0, the peak";
    EXPECT_LT(table[60], 358);
    EXPECT_GT(table[30], table[60]) << "the highlight falls off along the bar";
}

TEST(Skeleton, StaticWithoutAnimationAndPeriodicWithIt)
{
    const Image source = textured(200, 60);
    RenderSettings settings = plainSettings(MaskStyle::skeleton);
    settings.cornerRadius = 4;
    const std::vector<DetectedRegion> regions = {regionAt({0.05, 0.2, 0.9, 0.5}, 1, 0x1E1E1E),
                                                 regionAt({0.1, 0.75, 0.4, 0.2}, 2, 0xF4F4F4)};
    settings.skeletonAnimation = false;
    const Image still = BlurRenderer::render(source, regions, settings, 0.35, false);
    EXPECT_TRUE(identical(still, BlurRenderer::render(source, regions, settings, 0.9, false)));
    EXPECT_FALSE(identical(still, source));

    settings.skeletonAnimation = true;
    const Image first = BlurRenderer::render(source, regions, settings, 0.35, false);
    EXPECT_TRUE(identical(first, BlurRenderer::render(source, regions, settings, 0.35 + 1.4, false)));
    EXPECT_TRUE(identical(first, BlurRenderer::render(source, regions, settings, 0.35 + 2.8, false)));
    EXPECT_FALSE(identical(first, BlurRenderer::render(source, regions, settings, 0.9, false)));
}

TEST(Skeleton, BarIsCentredOnTheTextInsideTheBox)
{
    const Image source = filled(100, 40, {255, 255, 255});
    RenderSettings settings = plainSettings(MaskStyle::skeleton);
    settings.skeletonAnimation = false;
    settings.padding = {5, 5, 5, 5};
    // Text 60 × 20 at (20, 10); box 70 × 30; bar 60 × 12 centred on the text.
    const Image rendered = BlurRenderer::render(source, {regionAt({0.2, 0.25, 0.6, 0.5}, 1, 0x000000)}, settings, 0, false);
    const auto palette = BlurRenderer::skeletonPalette(0x000000);
    const std::uint32_t bar = palette[255]; // full coverage, flat shimmer
    const cv::Vec3b barColor(bar & 0xFF, (bar >> 8) & 0xFF, (bar >> 16) & 0xFF);
    EXPECT_EQ(pixel(rendered, 50, 20), barColor);
    EXPECT_EQ(pixel(rendered, 20, 14), barColor);  // rows 14..25 hold the bar
    EXPECT_EQ(pixel(rendered, 20, 25), barColor);
    EXPECT_EQ(pixel(rendered, 50, 13), cv::Vec3b(0, 0, 0)); // box, background colour
    EXPECT_EQ(pixel(rendered, 19, 20), cv::Vec3b(0, 0, 0));
}

// Pinned checksums: these frames exercise every branch of the rasterizers at
// once (fractional edges, rounded corners, feather, shimmer at mid-sweep, two
// palettes). The values were recorded from a run whose individual pixels the
// tests above check; they guard against unnoticed drift in the pixel rules.
TEST(GoldenFrames, PinnedChecksums)
{
    const Image source = textured(96, 64);
    const std::vector<DetectedRegion> regions = {regionAt({0.07, 0.11, 0.61, 0.23}, 1, 0x2A2F36),
                                                 regionAt({0.33, 0.52, 0.58, 0.31}, 2, 0xEDEBE6)};
    RenderSettings skeleton = plainSettings(MaskStyle::skeleton);
    skeleton.cornerRadius = 3.5;
    skeleton.skeletonAnimation = true;
    skeleton.padding = {1.5, 2, 0.5, 1};
    RenderSettings solid = plainSettings(MaskStyle::solid);
    solid.cornerRadius = 6;
    solid.feather = 3.5;
    solid.opacity = 0.8;
    solid.solidColor = 0x4080C0;
    EXPECT_EQ(fnv1a(BlurRenderer::render(source, regions, skeleton, 0.61, false)), 17161197297930816517ull);
    EXPECT_EQ(fnv1a(BlurRenderer::render(source, regions, solid, 0, true)), 756514218416506919ull);
}

} // namespace
} // namespace scrivel
