#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "tracking/TrackingImage.hpp"
#include "support/ClipWriter.hpp"

using namespace scrivel;
using namespace scrivel::test;

namespace {

const cv::Size frameSize{320, 180};

// One line of text whose box is (16, 44)–(296, 66) in pixels.
cv::Mat lineFrame()
{
    return textFrame(frameSize,
        {{"Invoice 2026-12-06 total 9,870.55", {20, 60}, 0.6, {30, 30, 30}, 1},
            {"second line below", {20, 120}, 0.6, {30, 30, 30}, 1}});
}

NormalizedRect pixelRect(double x, double y, double w, double h)
{
    return {x / frameSize.width, y / frameSize.height, w / frameSize.width, h / frameSize.height};
}

const NormalizedRect lineRect = pixelRect(16, 44, 280, 22);

cv::Mat shifted(const cv::Mat& frame, double dx, double dy)
{
    const cv::Mat transform = (cv::Mat_<double>(2, 3) << 1, 0, dx, 0, 1, dy);
    cv::Mat result;
    cv::warpAffine(frame, result, transform, frame.size(), cv::INTER_CUBIC, cv::BORDER_CONSTANT, cv::Scalar::all(255));
    return result;
}

TrackingImage tracking(const cv::Mat& frame)
{
    auto image = TrackingImage::make(Image(frame), 320);
    EXPECT_TRUE(image);
    return *image;
}

TEST(TrackingImage, ScalesDownToTheMaximumAndBuildsThePyramidDownToSixteen)
{
    const auto image = TrackingImage::make(Image(flatFrame({1280, 720}, {0, 0, 255})), 320);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 320);
    EXPECT_EQ(image->height, 180);
    ASSERT_EQ(image->rgba.size(), 320u * 180 * 4);
    EXPECT_EQ(image->rgba[0], 255); // R first
    EXPECT_EQ(image->rgba[2], 0);
    EXPECT_EQ(image->rgba[3], 255);
    // 180 -> 90 -> 45 -> 23 -> 12: the last level is the first with a side of 16 or less.
    ASSERT_EQ(image->levels.size(), 5u);
    EXPECT_EQ(image->levels[4].width, 20);
    EXPECT_EQ(image->levels[4].height, 12);
    EXPECT_NEAR(image->levels[0].pixels[0], 0.2126f, 1e-6);

    EXPECT_EQ(TrackingImage::make(Image(flatFrame({40, 16}, {1, 1, 1})), 100)->levels.size(), 1u);
    EXPECT_FALSE(TrackingImage::make(Image(flatFrame({40, 16}, {1, 1, 1})), 0));
}

TEST(GrayRaster, DownsamplingAveragesBlocksAndOddEdgesWithThemselves)
{
    const GrayRaster raster{3, 3, {0, 1, 2, 3, 4, 5, 6, 7, 8}};
    const GrayRaster half = raster.downsampled();
    ASSERT_EQ(half.width, 2);
    ASSERT_EQ(half.height, 2);
    EXPECT_FLOAT_EQ(half.pixels[0], (0 + 1 + 3 + 4) / 4.0f);
    EXPECT_FLOAT_EQ(half.pixels[1], (2 + 2 + 5 + 5) / 4.0f);
    EXPECT_FLOAT_EQ(half.pixels[2], (6 + 7 + 6 + 7) / 4.0f);
    EXPECT_FLOAT_EQ(half.pixels[3], 8);

    EXPECT_FLOAT_EQ(raster.sample(0.5, 0), 0.5f);
    EXPECT_FLOAT_EQ(raster.sample(1.25, 1.5), 4 + 0.25f + 1.5f);
    EXPECT_FLOAT_EQ(raster.sample(-3, 10), 6); // clamped into the raster
}

// The correlation as defined, sample by sample in double precision: each
// grid cell sampled bilinearly on the level its spacing picks, cells outside
// the frame left out.
double directCorrelation(const TrackingImage& image, const AppearanceGrid& grid, const NormalizedRect& rect, double offsetX,
    double offsetY)
{
    const auto spacing = [](const std::vector<double>& p) { return p.size() >= 2 ? p[1] - p[0] : 1.0; };
    const double cell = std::min(spacing(grid.x) * rect.width * image.width, spacing(grid.y) * rect.height * image.height);
    const int level = static_cast<int>(std::clamp(std::trunc(std::log2(std::max(cell, 1.0))), 0.0,
        static_cast<double>(image.levels.size() - 1)));
    const double scale = std::ldexp(1.0, level);
    double n = 0, sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    for (std::size_t j = 0; j < grid.y.size(); ++j)
        for (std::size_t i = 0; i < grid.x.size(); ++i) {
            const double px = image.width * rect.x - 0.5 + offsetX + image.width * rect.width * grid.x[i];
            const double py = image.height * rect.y - 0.5 + offsetY + image.height * rect.height * grid.y[j];
            if (px < -0.5 || px >= image.width - 0.5 || py < -0.5 || py >= image.height - 0.5)
                continue;
            const double a = grid.centered[j * grid.x.size() + i];
            const double b = image.levels[static_cast<std::size_t>(level)].sample((px + 0.5) / scale - 0.5, (py + 0.5) / scale - 0.5);
            n += 1;
            sa += a;
            sb += b;
            saa += a * a;
            sbb += b * b;
            sab += a * b;
        }
    return (sab - sa * sb / n) / std::sqrt((sbb - sb * sb / n) * (saa - sa * sa / n));
}

TEST(AppearanceMatching, CorrelationAgreesWithSamplingEveryCellDirectly)
{
    const TrackingImage reference = tracking(lineFrame());
    const TrackingImage moved = tracking(shifted(lineFrame(), 3.4, -1.7));
    // A long line (the grid's column limit, coarse cells on a smaller
    // level), one word, and a line running off the frame's right edge.
    const NormalizedRect rects[] = {lineRect, pixelRect(20, 104, 60, 20), pixelRect(180, 104, 150, 20)};
    const struct {
        double dx, dy;
    } offsets[] = {{0, 0}, {1, 0}, {-1, 2}, {3.4, -1.7}, {0.35, 0.8}, {-5, 4}, {12.5, -3.25}};
    for (const NormalizedRect& rect : rects) {
        const auto patch = reference.makePatch(rect);
        ASSERT_TRUE(patch);
        for (const AppearanceGrid* grid : {&patch->full, &patch->coarse})
            for (const auto& offset : offsets) {
                SCOPED_TRACE(::testing::Message() << rect.x * frameSize.width << " " << grid->x.size() << "x"
                                                  << grid->y.size() << " at " << offset.dx << ", " << offset.dy);
                const double expected = directCorrelation(moved, *grid, rect, offset.dx, offset.dy);
                EXPECT_NEAR(moved.correlation(*grid, rect, offset.dx, offset.dy), expected, 2e-4);
            }
    }
}

// A column of whole-pixel offsets worked out together gives exactly what
// each alone gives: offsets inside the frame share interpolated rows, those
// reaching past an edge (the line running off the right edge, the offsets
// far up and down) take the one-at-a-time path.
TEST(AppearanceMatching, CorrelationsOfAColumnOfOffsetsEqualEachAlone)
{
    const TrackingImage reference = tracking(lineFrame());
    const TrackingImage moved = tracking(shifted(lineFrame(), 3.4, -1.7));
    const NormalizedRect rects[] = {lineRect, pixelRect(20, 104, 60, 20), pixelRect(180, 104, 150, 20)};
    const std::vector<int> offsetsY = {-2, 5, -1, 0, 3, -110, 1, 2, 90, 4, -3};
    for (const NormalizedRect& rect : rects) {
        const auto patch = reference.makePatch(rect);
        ASSERT_TRUE(patch);
        for (const AppearanceGrid* grid : {&patch->full, &patch->coarse})
            for (const int offsetX : {-7, -1, 0, 3, 40}) {
                std::vector<double> together(offsetsY.size());
                moved.correlations(*grid, rect, offsetX, offsetsY, together.data());
                for (std::size_t k = 0; k < offsetsY.size(); ++k)
                    EXPECT_EQ(together[k], moved.correlation(*grid, rect, offsetX, offsetsY[k]))
                        << "offset " << offsetX << ", " << offsetsY[k] << " of grid " << grid->x.size() << "x"
                        << grid->y.size();
            }
    }
}

TEST(AppearanceMatching, PatchMatchesItsOwnFrameAtOnce)
{
    const TrackingImage image = tracking(lineFrame());
    const auto patch = image.makePatch(lineRect);
    ASSERT_TRUE(patch);
    EXPECT_LE(patch->full.x.size(), 96u);
    EXPECT_LE(patch->full.y.size(), 24u);
    EXPECT_LE(patch->coarse.x.size(), 32u);
    EXPECT_LE(patch->coarse.y.size(), 8u);
    const auto found = image.match(*patch, lineRect);
    ASSERT_TRUE(found);
    EXPECT_NEAR(found->correlation, 1.0, 1e-4);
    EXPECT_LT(std::abs(found->offsetX * image.width), 0.5);
    EXPECT_LT(std::abs(found->offsetY * image.height), 0.5);
}

TEST(AppearanceMatching, FindsKnownSubPixelAndWholePixelShifts)
{
    const TrackingImage reference = tracking(lineFrame());
    const auto patch = reference.makePatch(lineRect);
    ASSERT_TRUE(patch);
    const struct {
        double dx, dy;
    } shifts[] = {{2.3, -1.6}, {0.4, 0.0}, {-7.0, 5.0}, {11.6, -3.3}};
    for (const auto& shift : shifts) {
        SCOPED_TRACE(::testing::Message() << shift.dx << ", " << shift.dy);
        const TrackingImage moved = tracking(shifted(lineFrame(), shift.dx, shift.dy));
        const auto found = moved.match(*patch, lineRect);
        ASSERT_TRUE(found);
        EXPECT_GT(found->correlation, 0.9);
        EXPECT_NEAR(found->offsetX * moved.width, shift.dx, 0.3);
        EXPECT_NEAR(found->offsetY * moved.height, shift.dy, 0.3);
    }
}

// A title more than 48 pixels high searches further than the offsets a
// match keeps: the ones beyond are worked out each time they are needed.
TEST(AppearanceMatching, FindsATallTitleMovedFarUpOrDown)
{
    const auto titleFrame = [](double dy) {
        return shifted(textFrame(frameSize, {{"Q3 plan", {40, 120}, 2.6, {20, 20, 20}, 4}}), 3, dy);
    };
    const NormalizedRect title = pixelRect(30, 50, 260, 80);
    const TrackingImage reference = tracking(titleFrame(0));
    const auto patch = reference.makePatch(title);
    ASSERT_TRUE(patch);
    for (const double dy : {-55.0, -20.0, 52.0}) {
        SCOPED_TRACE(dy);
        const TrackingImage moved = tracking(titleFrame(dy));
        const auto found = moved.match(*patch, title);
        ASSERT_TRUE(found);
        EXPECT_GT(found->correlation, 0.9);
        EXPECT_NEAR(found->offsetY * moved.height, dy, 0.5);
    }
}

TEST(AppearanceMatching, SearchStaysInsideOneLineHeight)
{
    const TrackingImage reference = tracking(lineFrame());
    const auto patch = reference.makePatch(lineRect);
    ASSERT_TRUE(patch);
    const int radius = 22; // ceil(line height in pixels)
    const TrackingImage moved = tracking(shifted(lineFrame(), 0, radius + 14));
    const auto found = moved.match(*patch, lineRect);
    ASSERT_TRUE(found);
    EXPECT_LE(std::abs(found->offsetY * moved.height), radius + 1.5);
    EXPECT_LT(found->correlation, 0.9);
}

TEST(AppearanceMatching, NothingToMatchOnFlatOrEmptyOrOutsideRectangles)
{
    const TrackingImage image = tracking(lineFrame());
    EXPECT_FALSE(image.makePatch(pixelRect(20, 140, 200, 20))); // blank background
    EXPECT_FALSE(image.makePatch(pixelRect(16, 44, 0, 22)));
    EXPECT_FALSE(image.makePatch(pixelRect(16, 44, 280, -1)));
    const auto patch = image.makePatch(lineRect);
    ASSERT_TRUE(patch);
    EXPECT_FALSE(image.match(*patch, pixelRect(16, 44, 0, 22)));
    EXPECT_FALSE(image.match(*patch, pixelRect(16 + 400, 44, 280, 22))); // no position shows 12 samples

    // Partly outside the frame on the left: the visible cells still match.
    const TrackingImage movedLeft = tracking(shifted(lineFrame(), -60, 0));
    const auto found = movedLeft.match(*patch, pixelRect(16 - 60, 44, 280, 22));
    ASSERT_TRUE(found);
    EXPECT_GT(found->correlation, 0.95);
    EXPECT_LT(std::abs(found->offsetX * movedLeft.width), 0.5);
}

TEST(AppearanceMatching, VisiblePartsMatchALinePartlyCoveredByAPopup)
{
    const TrackingImage reference = tracking(lineFrame());
    const auto patch = reference.makePatch(lineRect);
    ASSERT_TRUE(patch);
    cv::Mat covered = shifted(lineFrame(), 3, 1);
    covered(cv::Rect(200, 30, 120, 60)).setTo(cv::Scalar(90, 160, 90)); // covers the right third
    const TrackingImage image = tracking(covered);
    const auto parts = image.matchVisibleParts(*patch, lineRect);
    ASSERT_TRUE(parts);
    EXPECT_GE(parts->correlation, 0.7);
    EXPECT_NEAR(parts->offsetX * image.width, 3, 0.5);
    EXPECT_NEAR(parts->offsetY * image.height, 1, 0.5);

    // A line too short for three parts of four columns.
    const auto tiny = reference.makePatch(pixelRect(20, 50, 4, 8));
    ASSERT_TRUE(tiny);
    EXPECT_FALSE(image.matchVisibleParts(*tiny, pixelRect(20, 50, 4, 8)));
}

TEST(AppearanceMatching, SearchBoundsGrowByOneLineHeightPlusTwoPixels)
{
    const TrackingImage image = tracking(lineFrame());
    const NormalizedRect grown = image.searchBounds(pixelRect(32, 36, 96, 18));
    const double pad = 18 + 2;
    EXPECT_NEAR(grown.x * 320, 32 - pad, 1e-9);
    EXPECT_NEAR(grown.y * 180, 36 - pad, 1e-9);
    EXPECT_NEAR(grown.width * 320, 96 + 2 * pad, 1e-9);
    EXPECT_NEAR(grown.height * 180, 18 + 2 * pad, 1e-9);
    const NormalizedRect small = image.searchBounds(pixelRect(32, 36, 96, 1.2));
    EXPECT_NEAR(small.y * 180, 36 - 5, 1e-9); // at least 3 + 2 pixels
}

// A frame tracked after one that held the same values wherever a match near
// the line reads is answered as that frame was; a mark anywhere a match could
// read makes the two differ.
TEST(AppearanceMatching, MatchesReadNothingBeyondWhereImagesAreComparedForThem)
{
    const auto patch = tracking(lineFrame()).makePatch(lineRect);
    ASSERT_TRUE(patch);
    const cv::Mat base = shifted(lineFrame(), 2, 1);
    const TrackingImage before = tracking(base);
    const NormalizedRect bounds = before.searchBounds(lineRect);
    int same = 0;
    int changedAnswers = 0;
    for (int y = 0; y + 3 <= frameSize.height; y += 9)
        for (int x = 0; x + 3 <= frameSize.width; x += 10) {
            cv::Mat marked = base.clone();
            marked(cv::Rect(x, y, 3, 3)).setTo(cv::Scalar(0, 0, 0));
            const TrackingImage after = tracking(marked);
            const bool inBounds = x + 3 > bounds.x * frameSize.width && x < bounds.maxX() * frameSize.width &&
                                  y + 3 > bounds.y * frameSize.height && y < bounds.maxY() * frameSize.height;
            const bool answeredAlike =
                after.match(*patch, lineRect) == before.match(*patch, lineRect) &&
                after.matchVisibleParts(*patch, lineRect) == before.matchVisibleParts(*patch, lineRect);
            SCOPED_TRACE(testing::Message() << "mark at " << x << ", " << y);
            if (after.sameWhereMatched(before, lineRect)) {
                EXPECT_FALSE(inBounds);
                EXPECT_TRUE(answeredAlike);
                ++same;
            } else if (!answeredAlike) {
                ++changedAnswers;
            }
        }
    EXPECT_GT(same, 100); // coarser levels are compared over wider areas
    EXPECT_GT(changedAnswers, 10);
    EXPECT_TRUE(before.sameWhereMatched(tracking(base.clone()), lineRect));
    EXPECT_FALSE(before.sameWhereMatched(tracking(lineFrame()), lineRect));
}

std::vector<std::uint8_t> whiteRGBA(int width, int height)
{
    return std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 4, 255);
}

void paint(std::vector<std::uint8_t>& rgba, int width, int x, int y, std::uint32_t colour)
{
    std::uint8_t* p = rgba.data() + (static_cast<std::size_t>(y) * width + x) * 4;
    p[0] = colour >> 16 & 0xFF;
    p[1] = colour >> 8 & 0xFF;
    p[2] = colour & 0xFF;
}

TEST(AppearanceMatching, BackgroundColourTakesTheFullestBinAndTheHigherKeyOnATie)
{
    // Rectangle (16, 24)-(48, 40) in a 64 × 64 frame: margin 2.4 px, so the
    // samples sit on rows 21 and 42 (columns 16..47) and on columns 13 and 50
    // (rows 25, 27, .., 39): 40 on each side of the split below.
    const int size = 64;
    const NormalizedRect rect{16.0 / size, 24.0 / size, 32.0 / size, 16.0 / size};
    for (const bool swapSides : {false, true}) {
        SCOPED_TRACE(swapSides);
        auto rgba = whiteRGBA(size, size);
        const int rowA = swapSides ? 42 : 21, rowB = swapSides ? 21 : 42;
        const int columnA = swapSides ? 50 : 13, columnB = swapSides ? 13 : 50;
        for (int x = 16; x < 48; ++x) {
            paint(rgba, size, x, rowA, 0x102030);                           // key 0x123
            paint(rgba, size, x, rowB, x % 2 ? 0x831302 : 0x801001);         // both key 0x810
        }
        for (int y = 25; y <= 39; y += 2) {
            paint(rgba, size, columnA, y, 0x102030);
            paint(rgba, size, columnB, y, 0x801001);
        }
        const TrackingImage image = TrackingImage::fromRGBA(size, size, rgba);
        // The winner's mean colour, integer-divided: R (24·0x80 + 16·0x83) / 40 = 0x81,
        // G (24·0x10 + 16·0x13) / 40 = 0x11, B (24·1 + 16·2) / 40 = 1.
        EXPECT_EQ(image.backgroundColor(rect), 0x811101u);
    }

    // A rectangle at the top edge samples row 0 itself.
    auto rgba = whiteRGBA(size, size);
    for (int x = 0; x < size; ++x) {
        paint(rgba, size, x, 0, 0x204060);
        paint(rgba, size, x, 18, 0x204060); // bottom 16 + margin 2.4
    }
    EXPECT_EQ(TrackingImage::fromRGBA(size, size, rgba).backgroundColor({0.25, 0, 0.5, 16.0 / size}), 0x204060u);
}

} // namespace
