#include "render/BlurRenderer.hpp"
#include "render/BlurRendererParts.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <limits>

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

namespace scrivel {

FrameRect FrameRect::extentOf(const Image& image)
{
    return {0, 0, static_cast<double>(image.width()), static_cast<double>(image.height())};
}

std::optional<FrameRect> intersection(const FrameRect& a, const FrameRect& b)
{
    const double left = std::max(a.minX(), b.minX());
    const double bottom = std::max(a.minY(), b.minY());
    const double right = std::min(a.maxX(), b.maxX());
    const double top = std::min(a.maxY(), b.maxY());
    // Rectangles that only touch still intersect (in a zero-size rectangle).
    if (!(left <= right) || !(bottom <= top))
        return std::nullopt;
    return FrameRect{left, bottom, right - left, top - bottom};
}

FrameRect unionOf(const FrameRect& a, const FrameRect& b)
{
    const double left = std::min(a.minX(), b.minX());
    const double bottom = std::min(a.minY(), b.minY());
    return {left, bottom, std::max(a.maxX(), b.maxX()) - left, std::max(a.maxY(), b.maxY()) - bottom};
}

FrameRect integral(const FrameRect& rect)
{
    const double left = std::floor(rect.minX());
    const double bottom = std::floor(rect.minY());
    return {left, bottom, std::ceil(rect.maxX()) - left, std::ceil(rect.maxY()) - bottom};
}

std::optional<FrameRect> inset(const FrameRect& rect, double dx, double dy)
{
    const FrameRect result{rect.x + dx, rect.y + dy, rect.width - 2 * dx, rect.height - 2 * dy};
    if (result.width < 0 || result.height < 0)
        return std::nullopt;
    return result;
}

namespace BlurRenderer {

namespace {

// The skeleton bitmap's pixel grid: the covered part of the frame.
std::optional<PixelGrid> skeletonGrid(const std::vector<FrameRect>& rectangles, const FrameRect& extent)
{
    std::optional<FrameRect> covered;
    for (const FrameRect& rectangle : rectangles)
        if (const auto visible = intersection(rectangle, extent))
            covered = covered ? unionOf(*covered, *visible) : *visible;
    if (covered)
        covered = intersection(*covered, extent);
    if (isEmpty(covered))
        return std::nullopt;
    return gridOf(*covered);
}

// Paints the skeleton into zeroed buffers of grid.width × grid.height pixels;
// returns the bitmap boxes that hold every byte it set.
std::vector<Box> paintSkeleton(std::uint8_t* rgba, std::uint8_t* coverage, const PixelGrid& grid,
                               const std::vector<DetectedRegion>& regions, const std::vector<FrameRect>& rectangles,
                               const FrameRect& extent, double cornerRadius, double opacity, double timeSeconds,
                               bool animate)
{
    const double t = animate ? std::max(timeSeconds, 0.0) : 0.0;
    const double u = t / 1.4 - std::trunc(t / 1.4);
    const double phase = u * u * (3 - 2 * u);
    const std::size_t pairs = std::min(regions.size(), rectangles.size());

    const auto setPixel = [rgba](std::size_t index, std::uint32_t color) {
        std::uint8_t* p = rgba + index * 4;
        p[0] = static_cast<std::uint8_t>((color >> 16) & 0xFF);
        p[1] = static_cast<std::uint8_t>((color >> 8) & 0xFF);
        p[2] = static_cast<std::uint8_t>(color & 0xFF);
        p[3] = 255;
    };

    // Boxes in the background colour.
    std::vector<Box> boxes;
    for (std::size_t i = 0; i < pairs; ++i) {
        const auto inside = intersection(rectangles[i], grid.bounds);
        if (isEmpty(inside))
            continue;
        const FrameRect area = integral(*inside);
        const int x0 = static_cast<int>(area.minX() - grid.bounds.minX());
        const int y0 = static_cast<int>(area.minY() - grid.bounds.minY());
        const Box box{x0, x0 + static_cast<int>(area.width), grid.height - (y0 + static_cast<int>(area.height)),
                      grid.height - y0};
        for (int row = box.row0; row < box.row1; ++row)
            for (int x = box.x0; x < box.x1; ++x)
                setPixel(static_cast<std::size_t>(row) * grid.width + x, regions[i].backgroundColor);
        boxes.push_back(box);
    }
    if (!(opacity > 0))
        return boxes;

    // Bars centred on the unpadded text, kept inside the padded box.
    std::vector<FrameRect> bars;
    std::vector<std::size_t> owners;
    for (std::size_t i = 0; i < pairs; ++i) {
        const auto text = maskRect(regions[i].rect, extent, RenderSettings{});
        const FrameRect& rectangle = rectangles[i];
        const auto inner = inset(rectangle, std::min(rectangle.width * 0.25, 2.0), std::min(rectangle.height * 0.25, 2.0));
        if (!text || !inner)
            continue;
        const double barWidth = std::min(inner->width, text->width);
        const double barHeight = std::min(inner->height, 0.6 * text->height);
        const double barX = std::min(std::max(text->midX() - barWidth / 2, inner->minX()), inner->maxX() - barWidth);
        const double barY = std::min(std::max(text->midY() - barHeight / 2, inner->minY()), inner->maxY() - barHeight);
        if (!(barWidth > 0) || !(barHeight > 0))
            continue;
        bars.push_back({barX, barY, barWidth, barHeight});
        owners.push_back(i);
    }

    std::vector<std::vector<std::uint32_t>> palettes;
    std::vector<std::vector<int>> shimmer;
    for (std::size_t b = 0; b < bars.size(); ++b) {
        palettes.push_back(skeletonPalette(regions[owners[b]].backgroundColor));
        shimmer.push_back(shimmerTable(bars[b], grid.bounds.minX(), grid.width, phase));
    }
    const auto paint = [&](std::size_t bar, int x, int index, int a) {
        if (a <= coverage[index])
            return;
        coverage[index] = static_cast<std::uint8_t>(a);
        setPixel(static_cast<std::size_t>(index), palettes[bar][(shimmer[bar][x] * a + 128) >> 8]);
    };
    rasterizeEach(
        bars, grid.bounds, cornerRadius, 0, 0,
        [&](std::size_t bar, int x, int, int index, double value) { paint(bar, x, index, coverageByte(value, opacity)); },
        [&](std::size_t bar, int x, int end, int, int index, double value) {
            const int a = coverageByte(value, opacity);
            for (int k = 0; k < end - x; ++k)
                paint(bar, x + k, index + k, a);
        });
    return boxes;
}

// Source-over of the opaque skeleton pixels onto the frame.
void compositeSkeleton(cv::Mat& frame, const std::uint8_t* rgba, const PixelGrid& grid, const std::vector<Box>& boxes)
{
    // Bitmap row 0 is bottom-up y bounds.maxY - 1.
    const int left = static_cast<int>(grid.bounds.minX());
    const int top = frame.rows - static_cast<int>(grid.bounds.maxY());
    for (const Box& box : boxes)
        for (int r = box.row0; r < box.row1; ++r) {
            std::uint8_t* line = frame.ptr<std::uint8_t>(top + r);
            const std::uint8_t* source = rgba + static_cast<std::size_t>(r) * grid.width * 4;
            for (int c = box.x0; c < box.x1; ++c) {
                if (source[4 * c + 3] == 0)
                    continue;
                std::uint8_t* p = line + 3 * (left + c);
                p[0] = source[4 * c + 2];
                p[1] = source[4 * c + 1];
                p[2] = source[4 * c + 0];
            }
        }
}

// The masks of one frame, in frame pixels (bottom-up), as the settings make them.
struct CollectedMasks {
    std::vector<FrameRect> rectangles;        // drawn
    std::vector<FrameRect> excluded;          // of excluded tracks: outlined only
    std::vector<DetectedRegion> maskRegions;  // per drawn rectangle: its region, rect = the unpadded span
};

CollectedMasks collectMasks(const std::vector<DetectedRegion>& regions, const RenderSettings& settings,
                            const FrameRect& extent)
{
    CollectedMasks masks;
    for (const DetectedRegion& region : regions) {
        const bool isExcluded = std::find(settings.excludedTrackIDs.begin(), settings.excludedTrackIDs.end(),
                                          region.trackID) != settings.excludedTrackIDs.end();
        for (const NormalizedRect& normalized : region.maskRects()) {
            const auto padded = maskRect(normalized, extent, settings);
            if (!padded || isEmpty(intersection(*padded, extent)))
                continue;
            if (isExcluded) {
                masks.excluded.push_back(*padded);
            } else {
                masks.rectangles.push_back(*padded);
                DetectedRegion copy = region;
                copy.rect = normalized;
                masks.maskRegions.push_back(std::move(copy));
            }
        }
    }
    return masks;
}

// The pixels a manual mask fills: those whose centres lie in it.
std::optional<Box> manualMaskBox(const ManualMask& manual, double timeSeconds, int frameWidth, int frameHeight)
{
    if (!manual.enabled || !(manual.startTime <= timeSeconds && timeSeconds < manual.endTime))
        return std::nullopt;
    const FrameRect extent{0, 0, double(frameWidth), double(frameHeight)};
    const auto rect = maskRect(manual.rect, extent, RenderSettings{});
    const auto visible = rect ? intersection(*rect, extent) : std::nullopt;
    if (isEmpty(visible))
        return std::nullopt;
    const int x0 = static_cast<int>(std::ceil(visible->minX() - 0.5));
    const int x1 = static_cast<int>(std::ceil(visible->maxX() - 0.5));
    const int y0 = static_cast<int>(std::ceil(visible->minY() - 0.5));
    const int y1 = static_cast<int>(std::ceil(visible->maxY() - 0.5));
    if (!(x0 < x1 && y0 < y1))
        return std::nullopt;
    return Box{x0, x1, frameHeight - y1, frameHeight - y0};
}

void renderAutomatic(cv::Mat& frame, const std::vector<DetectedRegion>& regions, const RenderSettings& settings,
                     double timeSeconds, bool showRegions)
{
    const FrameRect extent{0, 0, double(frame.cols), double(frame.rows)};
    if (extent.isEmpty())
        return;

    auto [rectangles, excluded, maskRegions] = collectMasks(regions, settings, extent);

    const double opacity = std::isnan(settings.opacity) ? 0.0 : std::clamp(settings.opacity, 0.0, 1.0);
    const bool nothingToMask = rectangles.empty() || (opacity == 0 && settings.style != MaskStyle::skeleton);
    if (nothingToMask && !(showRegions && (!rectangles.empty() || !excluded.empty())))
        return;

    ScratchLease lease;
    Scratch& scratch = *lease;
    const std::size_t pixels = static_cast<std::size_t>(frame.cols) * frame.rows;
    std::uint8_t* mask = ScratchLease::zeroed(scratch.mask, pixels);

    if (!nothingToMask && settings.style == MaskStyle::skeleton) {
        if (const auto grid = skeletonGrid(rectangles, extent)) {
            const std::size_t size = static_cast<std::size_t>(grid->width) * grid->height;
            std::uint8_t* rgba = ScratchLease::zeroed(scratch.rgba, size * 4);
            std::uint8_t* coverage = ScratchLease::zeroed(scratch.coverage, size);
            const std::vector<Box> boxes = paintSkeleton(rgba, coverage, *grid, maskRegions, rectangles, extent,
                                                         settings.cornerRadius, opacity, timeSeconds,
                                                         settings.skeletonAnimation);
            compositeSkeleton(frame, rgba, *grid, boxes);
            clearBoxes(rgba, grid->width, boxes, 4);
            clearBoxes(coverage, grid->width, boxes, 1);
        }
    } else if (!nothingToMask) {
        fillMask(mask, rectangles, extent, settings.cornerRadius, settings.feather, opacity, 0);
        const std::vector<Box> boxes = boxesOf(rectangles, frame.cols, frame.rows);
        const double sigma = std::max(settings.blurRadius, 0.0) / 2;
        const double cellSize = std::max(settings.pixelSize, 1.0);
        if (settings.style == MaskStyle::solid) {
            const Bgr color = bgrOfPacked(settings.solidColor);
            blendColorBoxes(frame, mask, boxes, color);
        } else if (settings.style == MaskStyle::blur && sigma < 0.5) {
            clearBoxes(mask, frame.cols, boxes, 1); // such a blur leaves 8-bit pixels as they are
        } else {
            const bool blur = settings.style == MaskStyle::blur;
            // Groups lie farther apart than anything one of them reads, so each
            // may be drawn before the next is read.
            const int pad = blur ? blurReach(sigma) : static_cast<int>(std::ceil(cellSize));
            for (const Group& group : groupBoxes(boxes, pad, frame.cols, frame.rows)) {
                if (blur)
                    blendBlurredGroup(frame, mask, group, sigma);
                else
                    blendPixelatedGroup(frame, mask, group, cellSize);
            }
        }
    }

    if (showRegions) {
        const double outlineRadius = settings.style == MaskStyle::skeleton ? 0 : settings.cornerRadius;
        if (!rectangles.empty())
            blendColor(frame, mask, rectangles, outlineRadius, bgrOf(0.1, 0.95, 0.55));
        if (!excluded.empty())
            blendColor(frame, mask, excluded, outlineRadius, bgrOf(1.0, 0.3, 0.3));
    }
}

void drawManualMasks(cv::Mat& frame, const std::vector<ManualMask>& masks, double timeSeconds)
{
    const Bgr color = bgrOf(0.063, 0.075, 0.094);
    for (const ManualMask& manual : masks)
        if (const auto box = manualMaskBox(manual, timeSeconds, frame.cols, frame.rows))
            for (int row = box->row0; row < box->row1; ++row) {
                std::uint8_t* line = frame.ptr<std::uint8_t>(row);
                for (int x = box->x0; x < box->x1; ++x)
                    std::copy(color.begin(), color.end(), line + 3 * x);
            }
}

} // namespace

std::optional<FrameRect> maskRect(const NormalizedRect& rect, const FrameRect& extent, const RenderSettings& settings)
{
    const double w = extent.width;
    const double h = extent.height;
    const MaskPadding& padding = settings.padding;
    const double width = w * rect.width + padding.left + padding.right;
    const double height = h * rect.height + padding.top + padding.bottom;
    if (!(width > 0) || !(height > 0))
        return std::nullopt;
    return FrameRect{extent.minX() + w * rect.x - padding.left,
                     extent.minY() + h * (1 - rect.y - rect.height) - padding.bottom, width, height};
}

void rasterize(const std::vector<FrameRect>& rectangles, const FrameRect& extent, double cornerRadius, double feather,
               double outlineWidth, const std::function<void(int, int, int, double)>& write)
{
    rasterizeEach(
        rectangles, extent, cornerRadius, feather, outlineWidth,
        [&write](std::size_t, int x, int row, int index, double coverage) { write(x, row, index, coverage); },
        [&write](std::size_t, int x, int end, int row, int index, double coverage) {
            for (int k = 0; k < end - x; ++k)
                write(x + k, row, index + k, coverage);
        });
}

CoverageMask makeMask(const std::vector<FrameRect>& rectangles, const FrameRect& extent, double cornerRadius,
                      double feather, double opacity, double outlineWidth)
{
    const PixelGrid grid = gridOf(extent);
    CoverageMask mask{grid.bounds, grid.width, grid.height,
                      std::vector<std::uint8_t>(static_cast<std::size_t>(grid.width) * grid.height)};
    fillMask(mask.bytes.data(), rectangles, extent, cornerRadius, feather, opacity, outlineWidth);
    return mask;
}

std::vector<std::uint32_t> skeletonPalette(std::uint32_t backgroundColor)
{
    const double channels[3] = {double((backgroundColor >> 16) & 0xFF), double((backgroundColor >> 8) & 0xFF),
                                double(backgroundColor & 0xFF)};
    const double luminance = 0.2126 * channels[0] + 0.7152 * channels[1] + 0.0722 * channels[2];
    const double target = luminance > 127.5 ? 0 : 255;
    std::vector<std::uint32_t> palette(358);
    for (int i = 0; i < 358; ++i) {
        std::uint32_t packed = 0;
        for (const double c : channels)
            packed = (packed << 8) | static_cast<std::uint32_t>(std::round(c + (target - c) * i * 0.12 / 255));
        palette[i] = packed;
    }
    return palette;
}

std::vector<int> shimmerTable(const FrameRect& bar, double boundsMinX, int width, double phase)
{
    std::vector<int> table(static_cast<std::size_t>(std::max(width, 0)), 256);
    for (int x = 0; x < width; ++x) {
        const double v = std::clamp((boundsMinX + x + 0.5 - bar.minX()) / bar.width, 0.0, 1.0);
        const double p = (3 * (1 - phase) + v) / 4;
        const double k = std::min((p - 0.25) / 0.12, (0.63 - p) / 0.26);
        table[x] = k < 1 ? static_cast<int>(std::round(256 * (1 + 0.4 * std::max(k, 0.0)))) : 358;
    }
    return table;
}

SkeletonBitmap makeSkeleton(const std::vector<DetectedRegion>& regions, const std::vector<FrameRect>& rectangles,
                            const FrameRect& extent, double cornerRadius, double opacity, double timeSeconds,
                            bool animate)
{
    const auto grid = skeletonGrid(rectangles, extent);
    if (!grid)
        return {};
    const std::size_t size = static_cast<std::size_t>(grid->width) * grid->height;
    SkeletonBitmap bitmap{grid->bounds, grid->width, grid->height, std::vector<std::uint8_t>(size * 4)};
    std::vector<std::uint8_t> coverage(size);
    paintSkeleton(bitmap.rgba.data(), coverage.data(), *grid, regions, rectangles, extent, cornerRadius, opacity,
                  timeSeconds, animate);
    return bitmap;
}

std::vector<cv::Rect> changedArea(const std::vector<DetectedRegion>& regions, const RenderSettings& settings,
                                  double timeSeconds, bool showRegions, cv::Size frameSize)
{
    std::vector<cv::Rect> area;
    if (frameSize.width <= 0 || frameSize.height <= 0)
        return area;
    const FrameRect extent{0, 0, double(frameSize.width), double(frameSize.height)};
    const CollectedMasks masks = collectMasks(regions, settings, extent);
    const auto add = [&area](const Box& box) { area.emplace_back(box.x0, box.row0, box.width(), box.height()); };
    // Every pixel drawn lies in the span of its rectangle; outlines lie inside theirs.
    for (const Box& box : boxesOf(masks.rectangles, frameSize.width, frameSize.height))
        add(box);
    if (showRegions)
        for (const Box& box : boxesOf(masks.excluded, frameSize.width, frameSize.height))
            add(box);
    for (const ManualMask& manual : settings.manualMasks)
        if (const auto box = manualMaskBox(manual, timeSeconds, frameSize.width, frameSize.height))
            add(*box);
    return area;
}

void renderInPlace(Image& frame, const std::vector<DetectedRegion>& regions, const RenderSettings& settings,
                   double timeSeconds, bool showRegions)
{
    if (frame.empty())
        return;
    renderAutomatic(frame.pixels, regions, settings, timeSeconds, showRegions);
    drawManualMasks(frame.pixels, settings.manualMasks, timeSeconds);
}

Image render(const Image& source, const std::vector<DetectedRegion>& regions, const RenderSettings& settings,
             double timeSeconds, bool showRegions)
{
    Image result = source.clone();
    renderInPlace(result, regions, settings, timeSeconds, showRegions);
    return result;
}

} // namespace BlurRenderer

} // namespace scrivel
