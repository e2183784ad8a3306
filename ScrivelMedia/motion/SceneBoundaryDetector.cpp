#include "motion/SceneBoundaryDetector.hpp"

#include <cstdlib>

#include <opencv2/imgproc.hpp>

namespace scrivel {

namespace {
constexpr int pixelCount = SceneBoundaryDetector::thumbnailWidth * SceneBoundaryDetector::thumbnailHeight;
constexpr int changedPixelDifference = 90;
constexpr double boundaryMeanDifference = 0.18;
constexpr double boundaryChangedShare = 0.6;
} // namespace

SceneBoundaryDetector::Thumbnail SceneBoundaryDetector::thumbnail(const Image& frame)
{
    Thumbnail buffer{}; // zero-filled
    cv::Mat rgba(thumbnailHeight, thumbnailWidth, CV_8UC4, buffer.data(), thumbnailWidth * 4);
    if (frame.empty())
        return buffer;
    cv::Mat small;
    cv::resize(frame.pixels, small, {thumbnailWidth, thumbnailHeight}, 0, 0, cv::INTER_AREA);
    cv::cvtColor(small, rgba, cv::COLOR_BGR2RGBA); // writes into `buffer`
    return buffer;
}

SceneBoundaryDetector::Difference SceneBoundaryDetector::compare(const Thumbnail& previous, const Thumbnail& current)
{
    std::int64_t sum = 0;
    int changed = 0;
    for (int pixel = 0; pixel < pixelCount; ++pixel) {
        const std::uint8_t* a = previous.data() + pixel * 4;
        const std::uint8_t* b = current.data() + pixel * 4;
        const int d = std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2]);
        sum += d;
        changed += d > changedPixelDifference;
    }
    return {static_cast<double>(sum) / (pixelCount * 765.0), static_cast<double>(changed) / pixelCount};
}

std::int64_t SceneBoundaryDetector::observe(const Image& frame)
{
    Thumbnail current = thumbnail(frame);
    if (previous_) {
        const Difference difference = compare(*previous_, current);
        if (difference.meanDifference > boundaryMeanDifference && difference.changedShare > boundaryChangedShare)
            ++sceneNumber_;
    }
    previous_ = current;
    return sceneNumber_;
}

} // namespace scrivel
