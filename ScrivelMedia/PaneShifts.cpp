#include "ScrivelMedia/PaneShifts.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <opencv2/imgproc.hpp>

namespace scrivel {

namespace {

// Windows of 64 × 64 pixels on the level measured (a quarter of a 960-pixel
// frame's height when that is level 1), placed every half window: wide
// enough to hold several lines of text and the travel of a fast scroll,
// small enough to lie inside one pane.
constexpr int windowPixels = 64;
constexpr int cellPixels = windowPixels / 2;
// A window whose luminance varies less than this holds no text to measure by.
constexpr double flatDeviation = 0.02;
// The window moved by the measured shift must match the new frame this well
// over at least half its area; two parts moving apart (a window across a
// pane's edge) fail it and are left to the frame's motion.
constexpr double agreement = 0.85;

const cv::Mat& hanningWindow()
{
    static const cv::Mat window = [] {
        cv::Mat w;
        cv::createHanningWindow(w, cv::Size(windowPixels, windowPixels), CV_32F);
        return w;
    }();
    return window;
}

cv::Mat view(const GrayRaster& raster)
{
    // OpenCV only reads through this header.
    return cv::Mat(raster.height, raster.width, CV_32F, const_cast<float*>(raster.pixels.data()));
}

// Normalised cross-correlation of `a` over `area` with `b` over `area`
// moved by `shift`, where both lie inside their rasters; the share of
// `area` that does.
std::pair<double, double> correlation(const cv::Mat& a, const cv::Mat& b, cv::Rect area, cv::Point shift)
{
    const cv::Rect inside = area & (cv::Rect(0, 0, b.cols, b.rows) - shift);
    if (inside.empty())
        return {0, 0};
    cv::Mat result;
    cv::matchTemplate(b(inside + shift), a(inside), result, cv::TM_CCOEFF_NORMED);
    const double share = static_cast<double>(inside.area()) / area.area();
    const double value = result.at<float>(0, 0);
    return {std::isfinite(value) ? value : 0.0, share};
}

} // namespace

PaneShifts::PaneShifts(const TrackingImage& previous, const TrackingImage& current)
    : previous_(previous), current_(current)
{
    if (previous.levels.size() != current.levels.size())
        return;
    // The coarsest level still holding a few windows each way.
    for (std::size_t k = std::min<std::size_t>(previous.levels.size(), 2); k-- > 0;) {
        const GrayRaster& a = previous.levels[k];
        const GrayRaster& b = current.levels[k];
        if (a.width == b.width && a.height == b.height && a.width >= 2 * windowPixels && a.height >= 2 * windowPixels) {
            level_ = static_cast<int>(k);
            break;
        }
    }
}

std::optional<PaneShifts::Shift> PaneShifts::around(const NormalizedRect& rect) const
{
    if (level_ < 0 || !std::isfinite(rect.midX()) || !std::isfinite(rect.midY()))
        return std::nullopt;
    const GrayRaster& raster = current_.levels[static_cast<std::size_t>(level_)];
    const double x = std::clamp(rect.midX(), 0.0, 1.0) * raster.width;
    const double y = std::clamp(rect.midY(), 0.0, 1.0) * raster.height;
    const std::pair cell{static_cast<int>(x) / cellPixels, static_cast<int>(y) / cellPixels};
    {
        std::lock_guard lock(mutex_);
        if (const auto found = measured_.find(cell); found != measured_.end())
            return found->second;
    }
    const std::optional<Shift> shift = measure(cell.first, cell.second);
    std::lock_guard lock(mutex_);
    measured_.emplace(cell, shift);
    return shift;
}

std::optional<PaneShifts::Shift> PaneShifts::measure(int cellX, int cellY) const
{
    const cv::Mat a = view(previous_.levels[static_cast<std::size_t>(level_)]);
    const cv::Mat b = view(current_.levels[static_cast<std::size_t>(level_)]);
    const int left = std::clamp(cellX * cellPixels + cellPixels / 2 - windowPixels / 2, 0, a.cols - windowPixels);
    const int top = std::clamp(cellY * cellPixels + cellPixels / 2 - windowPixels / 2, 0, a.rows - windowPixels);
    const cv::Rect window(left, top, windowPixels, windowPixels);
    const cv::Mat before = a(window);
    const cv::Mat after = b(window);
    cv::Scalar mean, deviation;
    cv::meanStdDev(before, mean, deviation);
    if (deviation[0] < flatDeviation)
        return std::nullopt;
    if (cv::norm(before, after, cv::NORM_INF) == 0)
        return Shift{};
    const cv::Point2d found = cv::phaseCorrelate(before, after, hanningWindow());
    if (!std::isfinite(found.x) || !std::isfinite(found.y))
        return std::nullopt;
    // Checked on the finer level below, where the shift is a whole number
    // of pixels far more nearly than on the coarse one.
    const int finer = std::max(level_ - 1, 0);
    const int factor = 1 << (level_ - finer);
    const cv::Mat fineBefore = view(previous_.levels[static_cast<std::size_t>(finer)]);
    const cv::Mat fineAfter = view(current_.levels[static_cast<std::size_t>(finer)]);
    const cv::Rect fineWindow = cv::Rect(window.x * factor, window.y * factor, window.width * factor,
                                         window.height * factor) & cv::Rect(0, 0, fineBefore.cols, fineBefore.rows);
    const cv::Point whole(static_cast<int>(std::lround(found.x * factor)), static_cast<int>(std::lround(found.y * factor)));
    const auto [value, share] = correlation(fineBefore, fineAfter, fineWindow, whole);
    return Shift{found.x / a.cols, found.y / a.rows};
}

} // namespace scrivel
