#include "ScrivelMedia/BlurRenderer.hpp"

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

bool isEmpty(const std::optional<FrameRect>& rect)
{
    return !rect || rect->isEmpty();
}

struct PixelGrid {
    FrameRect bounds; // integral, bottom-up
    int width = 0;
    int height = 0;
};

PixelGrid gridOf(const FrameRect& extent)
{
    PixelGrid grid;
    grid.bounds = integral(extent);
    grid.width = static_cast<int>(std::trunc(grid.bounds.width));
    grid.height = static_cast<int>(std::trunc(grid.bounds.height));
    return grid;
}

int clampedIndex(double value, int limit)
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

std::optional<Span> spanOf(const FrameRect& q, const PixelGrid& grid)
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

std::uint8_t coverageByte(double coverage, double opacity)
{
    // std::round takes halves away from zero.
    return static_cast<std::uint8_t>(std::clamp(std::round(coverage * opacity * 255), 0.0, 255.0));
}

using Bgr = std::array<std::uint8_t, 3>;

// A colour given as fractions, as 8-bit BGR.
Bgr bgrOf(double red, double green, double blue)
{
    const auto channel = [](double value) {
        return static_cast<std::uint8_t>(std::round(std::clamp(value, 0.0, 1.0) * 255));
    };
    return {channel(blue), channel(green), channel(red)};
}

Bgr bgrOfPacked(std::uint32_t color)
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
std::vector<Box> boxesOf(const std::vector<FrameRect>& rectangles, int frameWidth, int frameHeight)
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

std::vector<Group> groupBoxes(const std::vector<Box>& boxes, int pad, int frameWidth, int frameHeight)
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

inline std::uint8_t blendByte(unsigned m, unsigned effect, unsigned pixel)
{
    // (t + t/256) / 256 with t = v + 128 is v/255 rounded, for v <= 255².
    const unsigned t = m * effect + (255 - m) * pixel + 128;
    return static_cast<std::uint8_t>((t + (t >> 8)) >> 8);
}

// Blends `count` pixels through their mask bytes, mask·effect + (1 − mask)·pixel
// rounded to nearest, and clears the mask bytes: a pixel is blended once
// however many boxes hold it (a cleared byte leaves the pixel as it is).
// `effect` is one colour when Constant, else a row of pixels.
template <bool Constant>
void blendRun(std::uint8_t* pixels, std::uint8_t* mask, const std::uint8_t* effect, int count)
{
    // Chunks of pixels, each blended as a flat run of bytes with every
    // pixel's mask byte repeated for its three channels.
    constexpr int chunk = 64;
    std::uint8_t weights[3 * chunk];
    std::uint8_t colours[3 * chunk];
    if (Constant)
        for (int k = 0; k < chunk; ++k)
            std::copy(effect, effect + 3, colours + 3 * k);
    for (int start = 0; start < count; start += chunk) {
        const int n = std::min(chunk, count - start);
        for (int k = 0; k < n; ++k)
            weights[3 * k] = weights[3 * k + 1] = weights[3 * k + 2] = mask[start + k];
        const std::uint8_t* e = Constant ? colours : effect + 3 * start;
        std::uint8_t* p = pixels + 3 * start;
        int j = 0;
#if CV_SIMD
        using Vector = cv::v_uint8;
        const cv::v_uint16 full = cv::vx_setall_u16(255), half = cv::vx_setall_u16(128);
        for (; j + Vector::nlanes <= 3 * n; j += Vector::nlanes) {
            cv::v_uint16 mLow, mHigh, eLow, eHigh, pLow, pHigh;
            cv::v_expand(cv::vx_load(weights + j), mLow, mHigh);
            cv::v_expand(cv::vx_load(e + j), eLow, eHigh);
            cv::v_expand(cv::vx_load(p + j), pLow, pHigh);
            const auto blend = [&](const cv::v_uint16& m, const cv::v_uint16& ev, const cv::v_uint16& pv) {
                const cv::v_uint16 t = cv::v_mul_wrap(m, ev) + cv::v_mul_wrap(full - m, pv) + half;
                return cv::v_shr<8>(t + cv::v_shr<8>(t));
            };
            cv::v_store(p + j, cv::v_pack(blend(mLow, eLow, pLow), blend(mHigh, eHigh, pHigh)));
        }
#endif
        for (; j < 3 * n; ++j)
            p[j] = blendByte(weights[j], e[j], p[j]);
        std::fill_n(mask + start, n, 0);
    }
}

void blendColorBoxes(cv::Mat& frame, std::uint8_t* mask, const std::vector<Box>& boxes, Bgr color)
{
    for (const Box& box : boxes)
        for (int row = box.row0; row < box.row1; ++row)
            blendRun<true>(frame.ptr<std::uint8_t>(row) + 3 * box.x0,
                           mask + static_cast<std::size_t>(row) * frame.cols + box.x0, color.data(), box.width());
}

// effectRow(row, box) gives the effect's pixels for columns box.x0..box.x1 of `row`.
template <class EffectRow>
void blendEffectBoxes(cv::Mat& frame, std::uint8_t* mask, const std::vector<Box>& boxes, EffectRow&& effectRow)
{
    for (const Box& box : boxes)
        for (int row = box.row0; row < box.row1; ++row)
            blendRun<false>(frame.ptr<std::uint8_t>(row) + 3 * box.x0,
                            mask + static_cast<std::size_t>(row) * frame.cols + box.x0, effectRow(row, box),
                            box.width());
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

void fillMask(std::uint8_t* bytes, const std::vector<FrameRect>& rectangles, const FrameRect& extent,
              double cornerRadius, double feather, double opacity, double outlineWidth)
{
    rasterizeEach(
        rectangles, extent, cornerRadius, feather, outlineWidth,
        [&](std::size_t, int, int, int index, double coverage) {
            const std::uint8_t value = coverageByte(coverage, opacity);
            if (value > bytes[index])
                bytes[index] = value;
        },
        [&](std::size_t, int x, int end, int, int index, double coverage) {
            const std::uint8_t value = coverageByte(coverage, opacity);
            std::uint8_t* run = bytes + index;
            const int count = end - x;
            int k = 0;
#if CV_SIMD
            const cv::v_uint8 values = cv::vx_setall_u8(value);
            for (; k + cv::v_uint8::nlanes <= count; k += cv::v_uint8::nlanes)
                cv::v_store(run + k, cv::v_max(cv::vx_load(run + k), values));
#endif
            for (; k < count; ++k)
                run[k] = std::max(run[k], value);
        });
}

// The downscale of a blur: the largest power of two that keeps at least 1.5
// enlarged pixels per sigma, where bilinear enlargement stays within a level
// or two of the exact filter (mean error under one level on text and edges).
int blurFactor(double sigma)
{
    int factor = 1;
    while (factor < 64 && factor * 2 <= sigma / 1.5)
        factor *= 2;
    return factor;
}

// How far a blur's work reaches beyond the pixels it changes.
int blurReach(double sigma)
{
    return static_cast<int>(std::ceil(3 * sigma)) + 2 * blurFactor(sigma);
}

// Gaussian blur of the frame around a group of boxes, edges replicated, each
// member's blurred pixels blended through the mask as soon as they are made.
// Large sigmas are blurred on an area-averaged copy at 1/f scale and
// bilinearly enlarged: within a level or two of the full-size filter, at a
// cost that does not grow with the radius.
void blendBlurredGroup(cv::Mat& frame, std::uint8_t* mask, const Group& group, double sigma)
{
    const int factor = blurFactor(sigma);
    const int reach = static_cast<int>(std::ceil(3 * sigma)) + factor;
    const auto floorTo = [factor](int v) { return v >= 0 ? v / factor * factor : -((-v + factor - 1) / factor) * factor; };
    const Box& box = group.bounds;
    const int left = floorTo(box.x0 - reach);
    const int top = floorTo(box.row0 - reach);
    const int right = floorTo(box.x1 + reach + factor - 1);
    const int bottom = floorTo(box.row1 + reach + factor - 1);

    // The neighbourhood, with the frame's edge pixels repeated beyond it.
    const cv::Rect inside(std::max(left, 0), std::max(top, 0), std::min(right, frame.cols) - std::max(left, 0),
                          std::min(bottom, frame.rows) - std::max(top, 0));
    cv::Mat neighbourhood;
    if (inside.x == left && inside.y == top && inside.br().x == right && inside.br().y == bottom)
        neighbourhood = frame(inside);
    else
        cv::copyMakeBorder(frame(inside), neighbourhood, inside.y - top, bottom - inside.br().y, inside.x - left,
                           right - inside.br().x, cv::BORDER_REPLICATE | cv::BORDER_ISOLATED);

    cv::Mat blurred;
    if (factor == 1) {
        cv::GaussianBlur(neighbourhood, blurred, cv::Size(0, 0), sigma, sigma, cv::BORDER_REPLICATE);
    } else {
        // Halving steps take OpenCV's fast path for area averaging.
        blurred = neighbourhood;
        for (int step = factor; step > 1; step /= 2) {
            cv::Mat half;
            cv::resize(blurred, half, cv::Size(blurred.cols / 2, blurred.rows / 2), 0, 0, cv::INTER_AREA);
            blurred = half;
        }
        // Averaging f×f cells and the bilinear enlargement spread the image by
        // about f/2; the small blur supplies the rest.
        const double smallSigma = std::sqrt(std::max(sigma * sigma - factor * factor / 4.0, 1.0)) / factor;
        cv::GaussianBlur(blurred, blurred, cv::Size(0, 0), smallSigma, smallSigma, cv::BORDER_REPLICATE);
    }

    for (const Box& member : group.members) {
        // The enlarged part under this member, with one small pixel to spare
        // on each side so that the enlargement's own edges stay outside.
        const int sx0 = std::max(0, (member.x0 - left) / factor - 1);
        const int sy0 = std::max(0, (member.row0 - top) / factor - 1);
        const int sx1 = std::min(blurred.cols, (member.x1 - left + factor - 1) / factor + 1);
        const int sy1 = std::min(blurred.rows, (member.row1 - top + factor - 1) / factor + 1);
        cv::Mat effect;
        if (factor == 1)
            effect = blurred(cv::Rect(sx0, sy0, sx1 - sx0, sy1 - sy0));
        else
            cv::resize(blurred(cv::Rect(sx0, sy0, sx1 - sx0, sy1 - sy0)), effect,
                       cv::Size((sx1 - sx0) * factor, (sy1 - sy0) * factor), 0, 0, cv::INTER_LINEAR);
        const int originX = left + sx0 * factor;
        const int originRow = top + sy0 * factor;
        blendEffectBoxes(frame, mask, {member}, [&effect, originX, originRow](int row, const Box& box) {
            return effect.ptr<std::uint8_t>(row - originRow) + 3 * (box.x0 - originX);
        });
    }
}

// Pixelation: square cells of `cellSize` pixels on a grid anchored at the
// frame's bottom-left corner, each the average of the pixels whose centres lie
// in it (edge pixels repeated beyond the frame). Only cells under a mask are
// averaged.
void blendPixelatedGroup(cv::Mat& frame, std::uint8_t* mask, const Group& group, double cellSize)
{
    const int width = frame.cols;
    const int height = frame.rows;
    const Box& box = group.bounds;
    const auto cellOf = [cellSize](double centre) { return static_cast<long long>(std::floor(centre / cellSize)); };
    // First pixel whose centre lies at or beyond the cell's lower edge.
    const auto firstPixel = [cellSize](long long cell) {
        return static_cast<int>(std::ceil(static_cast<double>(cell) * cellSize - 0.5));
    };
    // Bottom-up pixel y of image row `row` is height - 1 - row; its centre is height - row - 0.5.
    const long long cellX0 = cellOf(box.x0 + 0.5);
    const long long cellY0 = cellOf(height - box.row1 + 0.5);
    const long long columnsOfCells = cellOf(box.x1 - 0.5) - cellX0 + 1;
    const long long rowsOfCells = cellOf(height - box.row0 - 0.5) - cellY0 + 1;
    std::vector<Bgr> averages(static_cast<std::size_t>(columnsOfCells * rowsOfCells));
    std::vector<bool> known(averages.size());

    const auto average = [&](long long cx, long long cy) -> const Bgr& {
        const std::size_t slot = static_cast<std::size_t>((cy - cellY0) * columnsOfCells + (cx - cellX0));
        if (known[slot])
            return averages[slot];
        const int xa = firstPixel(cx), xb = firstPixel(cx + 1);
        const int ya = firstPixel(cy), yb = firstPixel(cy + 1);
        std::array<std::uint64_t, 3> sum{};
        for (int y = ya; y < yb; ++y) {
            const std::uint8_t* line = frame.ptr<std::uint8_t>(height - 1 - std::clamp(y, 0, height - 1));
            for (int x = xa; x < xb; ++x) {
                const std::uint8_t* p = line + 3 * std::clamp(x, 0, width - 1);
                sum[0] += p[0];
                sum[1] += p[1];
                sum[2] += p[2];
            }
        }
        const std::uint64_t count = std::max<std::uint64_t>(1, std::uint64_t(xb - xa) * std::uint64_t(yb - ya));
        for (int k = 0; k < 3; ++k)
            averages[slot][k] = static_cast<std::uint8_t>((sum[k] + count / 2) / count);
        known[slot] = true;
        return averages[slot];
    };

    std::vector<long long> cellColumn(static_cast<std::size_t>(box.width()));
    for (int x = box.x0; x < box.x1; ++x)
        cellColumn[x - box.x0] = cellOf(x + 0.5);
    std::vector<long long> cellRow(static_cast<std::size_t>(box.height()));
    for (int row = box.row0; row < box.row1; ++row)
        cellRow[row - box.row0] = cellOf(height - row - 0.5);

    // Every cell under the group is averaged before any of its pixels change.
    for (const Box& member : group.members)
        for (int row = member.row0; row < member.row1; ++row) {
            const std::uint8_t* maskRow = mask + static_cast<std::size_t>(row) * width;
            const long long cy = cellRow[row - box.row0];
            long long previous = std::numeric_limits<long long>::min();
            for (int x = member.x0; x < member.x1; ++x)
                if (maskRow[x] && cellColumn[x - box.x0] != previous) {
                    previous = cellColumn[x - box.x0];
                    average(previous, cy);
                }
        }
    std::vector<std::uint8_t> effectRow(static_cast<std::size_t>(box.width()) * 3);
    blendEffectBoxes(frame, mask, group.members, [&](int row, const Box& member) {
        const long long rowBase = (cellRow[row - box.row0] - cellY0) * columnsOfCells - cellX0;
        for (int x = member.x0; x < member.x1; ++x) {
            const Bgr& average = averages[static_cast<std::size_t>(rowBase + cellColumn[x - box.x0])];
            std::copy(average.begin(), average.end(), effectRow.data() + 3 * (x - member.x0));
        }
        return effectRow.data();
    });
}

void clearBoxes(std::uint8_t* bytes, int width, const std::vector<Box>& boxes, int bytesPerPixel)
{
    for (const Box& box : boxes)
        for (int row = box.row0; row < box.row1; ++row)
            std::fill_n(bytes + (static_cast<std::size_t>(row) * width + box.x0) * bytesPerPixel,
                        static_cast<std::size_t>(box.width()) * bytesPerPixel, 0);
}

void blendColor(cv::Mat& frame, std::uint8_t* mask, const std::vector<FrameRect>& rectangles, double cornerRadius,
                Bgr color)
{
    const FrameRect extent{0, 0, double(frame.cols), double(frame.rows)};
    fillMask(mask, rectangles, extent, cornerRadius, 0, 1, 2);
    blendColorBoxes(frame, mask, boxesOf(rectangles, frame.cols, frame.rows), color);
}

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
