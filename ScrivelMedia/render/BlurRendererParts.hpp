#pragma once

// The mask renderer's own pieces, shared by its source files (BlurRenderer,
// MaskBlending): pixel grids and coverage rasterisation, the boxes and
// groups masks are blended in, the per-thread working buffers, and the
// blending steps. Included by those files only.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "render/BlurRenderer.hpp"

namespace scrivel::BlurRenderer {

namespace detail {

inline bool isEmpty(const std::optional<FrameRect>& rect)
{
    return !rect || rect->isEmpty();
}

struct PixelGrid {
    FrameRect bounds; // integral, bottom-up
    int width = 0;
    int height = 0;
};

inline PixelGrid gridOf(const FrameRect& extent)
{
    PixelGrid grid;
    grid.bounds = integral(extent);
    grid.width = static_cast<int>(std::trunc(grid.bounds.width));
    grid.height = static_cast<int>(std::trunc(grid.bounds.height));
    return grid;
}

inline int clampedIndex(double value, int limit)
{
    if (!(value > 0))
        return 0;
    return value >= limit ? limit : static_cast<int>(value);
}

// The pixels a rectangle can touch in a grid: columns [x0, x1), bottom-up
// rows [y0, y1).
struct Span {
    int x0 = 0, x1 = 0, y0 = 0, y1 = 0;
};

inline std::optional<Span> spanOf(const FrameRect& q, const PixelGrid& grid)
{
    Span span;
    span.x0 = clampedIndex(std::floor(q.minX() - grid.bounds.minX()), grid.width);
    span.x1 = clampedIndex(std::ceil(q.maxX() - grid.bounds.minX()), grid.width);
    span.y0 = clampedIndex(std::floor(q.minY() - grid.bounds.minY()), grid.height);
    span.y1 = clampedIndex(std::ceil(q.maxY() - grid.bounds.minY()), grid.height);
    if (!(span.x0 < span.x1 && span.y0 < span.y1))
        return std::nullopt;
    return span;
}

// The coverage loop shared by both bitmaps. write(rectangleIndex, column,
// rowFromTop, index, coverage) for one pixel; fill(rectangleIndex, column,
// endColumn, rowFromTop, index, coverage) for a run of pixels of one coverage.
template <class Write, class Fill>
void rasterizeEach(const std::vector<FrameRect>& rectangles, const FrameRect& extent, double cornerRadius,
                   double feather, double outlineWidth, Write&& write, Fill&& fill)
{
    const PixelGrid grid = gridOf(extent);
    const double radius0 = std::max(cornerRadius, 0.0);
    const double featherWidth = std::max(feather, 0.0);
    std::vector<double> columnTerms;
    for (std::size_t i = 0; i < rectangles.size(); ++i) {
        const FrameRect& q = rectangles[i];
        const double r = std::min({radius0, q.width / 2, q.height / 2});
        const auto span = spanOf(q, grid);
        if (!span)
            continue;
        // The column term is the same on every row.
        columnTerms.resize(static_cast<std::size_t>(span->x1 - span->x0));
        for (int x = span->x0; x < span->x1; ++x)
            columnTerms[x - span->x0] = r + std::abs(grid.bounds.minX() + x + 0.5 - q.midX()) - q.width / 2;
        for (int y = span->y0; y < span->y1; ++y) {
            const double dy = r + std::abs(grid.bounds.minY() + y + 0.5 - q.midY()) - q.height / 2;
            const int row = grid.height - 1 - y;
            const auto coverageAt = [&](double d) {
                const double s = r - d;
                if (s <= -0.5)
                    return -1.0; // untouched
                const double a = std::min(s + 0.5, 1.0);
                if (outlineWidth > 0)
                    return a * std::clamp(outlineWidth - s + 0.5, 0.0, 1.0);
                if (featherWidth > 0)
                    return a * (s >= 0 ? std::min(s / featherWidth, 1.0) : 0.0);
                return a;
            };
            // Where dx <= min(dy, 0) the distance is dy itself: the long middle
            // run of every row shares one coverage value.
            // dx falls then rises along the row, so that run is one stretch.
            const double runLimit = std::min(dy, 0.0);
            const auto single = [&](int x) {
                const double dx = columnTerms[x - span->x0];
                const double coverage = coverageAt((dx > 0 && dy > 0) ? std::hypot(dx, dy) : std::max(dx, dy));
                if (coverage >= 0)
                    write(i, x, row, row * grid.width + x, coverage);
            };
            int x = span->x0;
            for (; x < span->x1 && columnTerms[x - span->x0] > runLimit; ++x)
                single(x);
            int runEnd = x;
            while (runEnd < span->x1 && columnTerms[runEnd - span->x0] <= runLimit)
                ++runEnd;
            if (const double runCoverage = coverageAt(dy); runEnd > x && runCoverage >= 0)
                fill(i, x, runEnd, row, row * grid.width + x, runCoverage);
            for (x = runEnd; x < span->x1; ++x)
                single(x);
        }
    }
}

inline std::uint8_t coverageByte(double coverage, double opacity)
{
    // std::round takes halves away from zero.
    return static_cast<std::uint8_t>(std::clamp(std::round(coverage * opacity * 255), 0.0, 255.0));
}

using Bgr = std::array<std::uint8_t, 3>;

// A colour given as fractions, as 8-bit BGR.
inline Bgr bgrOf(double red, double green, double blue)
{
    const auto channel = [](double value) {
        return static_cast<std::uint8_t>(std::round(std::clamp(value, 0.0, 1.0) * 255));
    };
    return {channel(blue), channel(green), channel(red)};
}

inline Bgr bgrOfPacked(std::uint32_t color)
{
    return {static_cast<std::uint8_t>(color & 0xFF), static_cast<std::uint8_t>((color >> 8) & 0xFF),
            static_cast<std::uint8_t>((color >> 16) & 0xFF)};
}

// Image-space (row 0 at the top) rectangle of pixels, half-open.
struct Box {
    int x0 = 0, x1 = 0, row0 = 0, row1 = 0;
    int width() const { return x1 - x0; }
    int height() const { return row1 - row0; }
    Box expanded(int pad, int frameWidth, int frameHeight) const
    {
        return {std::max(x0 - pad, 0), std::min(x1 + pad, frameWidth), std::max(row0 - pad, 0),
                std::min(row1 + pad, frameHeight)};
    }
    bool intersects(const Box& other) const
    {
        return x0 < other.x1 && other.x0 < x1 && row0 < other.row1 && other.row0 < row1;
    }
    Box unionWith(const Box& other) const
    {
        return {std::min(x0, other.x0), std::max(x1, other.x1), std::min(row0, other.row0), std::max(row1, other.row1)};
    }
};

// The image-space boxes of the rectangles' spans in a frame whose extent
// starts at the origin.
inline std::vector<Box> boxesOf(const std::vector<FrameRect>& rectangles, int frameWidth, int frameHeight)
{
    const PixelGrid grid{FrameRect{0, 0, double(frameWidth), double(frameHeight)}, frameWidth, frameHeight};
    std::vector<Box> boxes;
    for (const FrameRect& q : rectangles)
        if (const auto span = spanOf(q, grid))
            boxes.push_back({span->x0, span->x1, frameHeight - span->y1, frameHeight - span->y0});
    return boxes;
}

// Boxes whose neighbourhoods of `pad` pixels meet share one effect computation.
struct Group {
    Box bounds;
    std::vector<Box> members;
};

inline std::vector<Group> groupBoxes(const std::vector<Box>& boxes, int pad, int frameWidth, int frameHeight)
{
    std::vector<Group> groups;
    for (const Box& box : boxes)
        groups.push_back({box, {box}});
    bool merged = true;
    while (merged) {
        merged = false;
        for (std::size_t i = 0; i < groups.size() && !merged; ++i)
            for (std::size_t j = i + 1; j < groups.size() && !merged; ++j)
                if (groups[i].bounds.expanded(pad, frameWidth, frameHeight).intersects(groups[j].bounds)) {
                    groups[i].bounds = groups[i].bounds.unionWith(groups[j].bounds);
                    groups[i].members.insert(groups[i].members.end(), groups[j].members.begin(), groups[j].members.end());
                    groups.erase(groups.begin() + static_cast<std::ptrdiff_t>(j));
                    merged = true;
                }
    }
    return groups;
}

// Working buffers reused by the calls on one thread, so a frame costs no
// large allocation or clearing. Between calls every byte is zero: each user
// clears exactly what it set. A call that ends by an exception leaves them
// marked dirty, and the next call clears them whole.
struct Scratch {
    std::vector<std::uint8_t> mask;     // coverage, one byte per frame pixel
    std::vector<std::uint8_t> rgba;     // skeleton bitmap
    std::vector<std::uint8_t> coverage; // skeleton coverage
    bool clean = true;
};

class ScratchLease {
public:
    ScratchLease() : scratch_(instance()), exceptions_(std::uncaught_exceptions())
    {
        if (!scratch_.clean)
            for (auto* buffer : {&scratch_.mask, &scratch_.rgba, &scratch_.coverage})
                std::fill(buffer->begin(), buffer->end(), 0);
        scratch_.clean = false;
    }
    ~ScratchLease() { scratch_.clean = std::uncaught_exceptions() == exceptions_; }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;

    // A zeroed buffer of at least `size` bytes.
    static std::uint8_t* zeroed(std::vector<std::uint8_t>& buffer, std::size_t size)
    {
        if (buffer.size() < size)
            buffer.resize(size); // new bytes are zero
        return buffer.data();
    }
    Scratch& operator*() const { return scratch_; }

private:
    static Scratch& instance()
    {
        thread_local Scratch scratch;
        return scratch;
    }
    Scratch& scratch_;
    int exceptions_;
};

// Effects blended through a coverage mask (MaskBlending.cpp).
void blendColorBoxes(cv::Mat& frame, std::uint8_t* mask, const std::vector<Box>& boxes, Bgr color);
void fillMask(std::uint8_t* bytes, const std::vector<FrameRect>& rectangles, const FrameRect& extent,
              double cornerRadius, double feather, double opacity, double outlineWidth);
int blurReach(double sigma);
void blendBlurredGroup(cv::Mat& frame, std::uint8_t* mask, const Group& group, double sigma);
void blendPixelatedGroup(cv::Mat& frame, std::uint8_t* mask, const Group& group, double cellSize);
void clearBoxes(std::uint8_t* bytes, int width, const std::vector<Box>& boxes, int bytesPerPixel);
void blendColor(cv::Mat& frame, std::uint8_t* mask, const std::vector<FrameRect>& rectangles, double cornerRadius,
                Bgr color);

} // namespace detail

// The renderer's sources use the pieces above unqualified.
using namespace detail;

} // namespace scrivel::BlurRenderer
