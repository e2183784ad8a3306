#include "render/BlurRendererParts.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

namespace scrivel::BlurRenderer {

namespace {

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

} // namespace

namespace detail {

void blendColorBoxes(cv::Mat& frame, std::uint8_t* mask, const std::vector<Box>& boxes, Bgr color)
{
    for (const Box& box : boxes)
        for (int row = box.row0; row < box.row1; ++row)
            blendRun<true>(frame.ptr<std::uint8_t>(row) + 3 * box.x0,
                           mask + static_cast<std::size_t>(row) * frame.cols + box.x0, color.data(), box.width());
}

} // namespace detail

namespace {

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

} // namespace

namespace detail {

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

} // namespace detail

} // namespace scrivel::BlurRenderer
