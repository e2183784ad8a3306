#include "tracking/PaneShifts.hpp"

#include <algorithm>
#include <cmath>

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
    if (level_ < 0 || !std::isfinite(rect.x) || !std::isfinite(rect.width) || !std::isfinite(rect.midY()))
        return std::nullopt;
    // The middle of the line first, then its quarters: a window there may
    // take in a popup over part of the line, or the edge of its pane.
    for (const double along : {0.5, 0.75, 0.25})
        if (auto shift = aroundPoint(rect.x + along * rect.width, rect.midY()))
            return shift;
    return std::nullopt;
}

std::optional<PaneShifts::Shift> PaneShifts::aroundPoint(double x, double y) const
{
    const GrayRaster& raster = current_.levels[static_cast<std::size_t>(level_)];
    const double column = std::clamp(x, 0.0, 1.0) * raster.width;
    const double row = std::clamp(y, 0.0, 1.0) * raster.height;
    const std::pair cell{static_cast<int>(column) / cellPixels, static_cast<int>(row) / cellPixels};
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
    // Copies: OpenCV 4.6's phase correlation of a part of a larger picture
    // reads beyond it and gives another answer from run to run.
    const cv::Mat before = a(window).clone();
    const cv::Mat after = b(window).clone();
    cv::Scalar mean, deviation;
    cv::meanStdDev(before, mean, deviation);
    if (deviation[0] < flatDeviation)
        return std::nullopt;
    if (cv::norm(before, after, cv::NORM_INF) == 0)
        return Shift{};
    const cv::Point2d found = cv::phaseCorrelate(before, after, hanningWindow());
    if (!std::isfinite(found.x) || !std::isfinite(found.y))
        return std::nullopt;
    // Whole pixels of the level below: the same on every run, where the
    // peak's fraction may differ in its last bits with how OpenCV shares
    // its work between threads. The shift only says where else to look:
    // the line's look decides whether it is there.
    const int finer = std::max(level_ - 1, 0);
    const int factor = 1 << (level_ - finer);
    const GrayRaster& fine = current_.levels[static_cast<std::size_t>(finer)];
    const cv::Point whole(static_cast<int>(std::lround(found.x * factor)), static_cast<int>(std::lround(found.y * factor)));
    return Shift{static_cast<double>(whole.x) / fine.width, static_cast<double>(whole.y) / fine.height};
}

} // namespace scrivel
