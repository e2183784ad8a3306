#pragma once

// render/: masks drawn over a frame in the chosen style (blur, pixelate,
// solid, skeleton bar), and the per-frame composition an export draws.

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "ScrivelCore/NormalizedRect.hpp"
#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"
#include "decode/Image.hpp"

namespace scrivel {

// A rectangle in frame pixels with the origin at the bottom-left and y up, as
// the mask geometry is defined. Width and height are never negative; "no
// rectangle" (an empty intersection, a mask of no size) is std::nullopt.
struct FrameRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double minX() const { return x; }
    double minY() const { return y; }
    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    double midX() const { return x + width / 2; }
    double midY() const { return y + height / 2; }
    bool isEmpty() const { return width <= 0 || height <= 0; }

    // The whole frame of an image: (0, 0, width, height).
    static FrameRect extentOf(const Image& image);

    bool operator==(const FrameRect&) const = default;
};

// Rectangle arithmetic with CoreGraphics' meaning (nullopt is the null rect).
std::optional<FrameRect> intersection(const FrameRect& a, const FrameRect& b);
FrameRect unionOf(const FrameRect& a, const FrameRect& b);
// Smallest rectangle with integer edges that contains `rect`.
FrameRect integral(const FrameRect& rect);
std::optional<FrameRect> inset(const FrameRect& rect, double dx, double dy);

// Draws the redaction masks of one frame. Stateless: every call builds and
// frees its own buffers, so frames may be rendered on several threads at once.
//
// Blending happens on the 8-bit sRGB values of the frame. The Gaussian blur
// uses sigma = radius / 2 (the visible spread of a Gaussian is about two
// sigmas each way, so "radius" is how far a pixel's colour reaches); at the
// starting radius 24 that is sigma 12, which merges the strokes of 16-pixel
// text into an even smear.
namespace BlurRenderer {

// The whole frame: automatic masks of `regions` (outlines when
// `showRegions`), then the manual masks active at `timeSeconds`.
Image render(const Image& source, const std::vector<DetectedRegion>& regions, const RenderSettings& settings,
             double timeSeconds, bool showRegions);
// The same, drawing into `frame` (which must not share pixels with anything
// the caller still needs unchanged).
void renderInPlace(Image& frame, const std::vector<DetectedRegion>& regions, const RenderSettings& settings,
                   double timeSeconds, bool showRegions);

// Image-space rectangles (row 0 at the top) that hold every pixel the same
// render call may change; pixels outside them keep their values exactly.
std::vector<cv::Rect> changedArea(const std::vector<DetectedRegion>& regions, const RenderSettings& settings,
                                  double timeSeconds, bool showRegions, cv::Size frameSize);

// The padded pixel rectangle of a normalised mask in a frame of `extent`;
// also used to hit-test masks in the preview.
std::optional<FrameRect> maskRect(const NormalizedRect& rect, const FrameRect& extent, const RenderSettings& settings);

// Building blocks, exposed so their pixels can be checked directly.

// An 8-bit coverage mask the size of integral(extent), rows top first.
struct CoverageMask {
    FrameRect bounds; // integral extent, bottom-up
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> bytes;
    std::uint8_t at(int column, int rowFromTop) const { return bytes[static_cast<std::size_t>(rowFromTop) * width + column]; }
};

// An RGBA bitmap (R, G, B, A bytes, rows top first) covering `bounds`.
struct SkeletonBitmap {
    FrameRect bounds;
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

// Signed-distance coverage of rounded rectangles; calls write(column,
// rowFromTop, index, coverage) for every touched pixel of the integral extent.
void rasterize(const std::vector<FrameRect>& rectangles, const FrameRect& extent, double cornerRadius, double feather,
               double outlineWidth, const std::function<void(int, int, int, double)>& write);

CoverageMask makeMask(const std::vector<FrameRect>& rectangles, const FrameRect& extent, double cornerRadius,
                      double feather, double opacity, double outlineWidth);

// `regions[i]` carries the colour and the unpadded span (its rect) of
// `rectangles[i]`; `animate` is the settings' skeletonAnimation.
SkeletonBitmap makeSkeleton(const std::vector<DetectedRegion>& regions, const std::vector<FrameRect>& rectangles,
                            const FrameRect& extent, double cornerRadius, double opacity, double timeSeconds,
                            bool animate);

// The 358-entry palette of a background colour, 0x00RRGGBB per entry.
std::vector<std::uint32_t> skeletonPalette(std::uint32_t backgroundColor);
// The shimmer table of one bar over `width` bitmap columns starting at
// `boundsMinX`, for smoothstep phase `phase`.
std::vector<int> shimmerTable(const FrameRect& bar, double boundsMinX, int width, double phase);

} // namespace BlurRenderer

} // namespace scrivel
