#include "recognition/IncrementalRecognizerParts.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "ScrivelCore/Errors.hpp"
#include "recognition/OcrEngine.hpp"

namespace scrivel {

namespace {

// The frame and the previous picture carried by the motion are compared as
// means of squares of this many pixels: resampling (the carried picture is
// soft where the new one is drawn afresh, and off by a fraction of a pixel)
// moves such a mean by a few levels, a word drawn or removed by far more.
constexpr int kZoomCompareSquare = 4;
constexpr int kZoomInkLevels = 40;
// How far, each way, the carried picture may be off where it is compared.
constexpr int kZoomSlackPixels = 1;

// Where the pixel motion `scale`, `offset` (x -> x * scale + offset) puts
// `rect`.
cv::Rect2d carriedBy(const cv::Rect2d& rect, double scale, cv::Point2d offset)
{
    return {rect.x * scale + offset.x, rect.y * scale + offset.y, rect.width * scale, rect.height * scale};
}

cv::Rect rounded(const cv::Rect2d& rect)
{
    return {static_cast<int>(std::lround(rect.x)), static_cast<int>(std::lround(rect.y)),
            static_cast<int>(std::lround(rect.width)), static_cast<int>(std::lround(rect.height))};
}

// Tiles of `frame` showing what `reference` carried by the pixel motion
// does not explain: where the mean of a kZoomCompareSquare square is off by
// more than kZoomInkLevels. Nothing when the carried reference leaves part
// of the frame uncovered: what a zoom out or a scroll brings in at the sides
// may show only a sliver of a line, which a thin window along the side found
// less surely than the whole frame's detection (a line's first pixel rows
// went unmasked).
std::optional<std::vector<cv::Rect>> unexplainedTiles(const cv::Mat& frame, const cv::Mat& reference, double scale,
                                                      cv::Point2d offset)
{
    const cv::Rect2d carriedRect = carriedBy(cv::Rect2d(0, 0, reference.cols, reference.rows), scale, offset);
    if (carriedRect.x > 0 || carriedRect.y > 0 || carriedRect.br().x < frame.cols || carriedRect.br().y < frame.rows)
        return std::nullopt;
    const cv::Mat motion = (cv::Mat_<double>(2, 3) << scale, 0, offset.x, 0, scale, offset.y);
    cv::Mat carried;
    cv::warpAffine(grey(reference), carried, motion, frame.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    const cv::Size reduced(std::max(1, frame.cols / kZoomCompareSquare), std::max(1, frame.rows / kZoomCompareSquare));
    cv::Mat now;
    cv::resize(grey(frame), now, reduced, 0, 0, cv::INTER_AREA);
    // The least difference over the carried picture moved by up to
    // kZoomSlackPixels each way: the motion is good to a pixel or so, and
    // an edge off by one moves a square's mean by tens of levels.
    cv::Mat difference(reduced, CV_8U, cv::Scalar(255));
    cv::Mat bordered, before, shiftedDifference;
    cv::copyMakeBorder(carried, bordered, kZoomSlackPixels, kZoomSlackPixels, kZoomSlackPixels, kZoomSlackPixels,
                       cv::BORDER_REPLICATE);
    for (int dy = 0; dy <= 2 * kZoomSlackPixels; ++dy)
        for (int dx = 0; dx <= 2 * kZoomSlackPixels; ++dx) {
            cv::resize(bordered(cv::Rect({dx, dy}, carried.size())), before, reduced, 0, 0, cv::INTER_AREA);
            cv::absdiff(now, before, shiftedDifference);
            cv::min(difference, shiftedDifference, difference);
        }
    const double rx = static_cast<double>(reduced.width) / frame.cols;
    const double ry = static_cast<double>(reduced.height) / frame.rows;
    TileMap tiles(frame.size());
    std::vector<cv::Rect> unexplained;
    for (int r = 0; r < tiles.rows(); ++r)
        for (int c = 0; c < tiles.columns(); ++c) {
            const cv::Rect tile = tiles.tile(c, r);
            const cv::Rect small =
                cv::Rect(cv::Point(static_cast<int>(tile.x * rx), static_cast<int>(tile.y * ry)),
                         cv::Point(static_cast<int>(std::ceil(tile.br().x * rx)),
                                   static_cast<int>(std::ceil(tile.br().y * ry)))) &
                cv::Rect({}, reduced);
            double largest = 0;
            if (!small.empty())
                cv::minMaxLoc(difference(small), nullptr, &largest);
            if (largest > kZoomInkLevels)
                unexplained.push_back(tile);
        }
    return unexplained;
}


// `reading`, made on a crop that a zoom carried to `carried` (frame
// pixels), placed on `box`, the part of it in view: every character keeps
// its place in the frame, and those beyond the frame's edge stay in the
// text with their boxes held at the edge, so that what shows of an address
// is masked as the address.
OcrEngine::LineReading placedOnPart(const OcrEngine::LineReading& reading, const cv::Rect2d& carried,
                                    const cv::Rect& box)
{
    const double columns = reading.scaledWidth;
    const auto moved = [&](double column) {
        return (carried.x - box.x + column * carried.width / columns) * columns / box.width;
    };
    OcrEngine::LineReading placed{reading.reading, {}, reading.scaledWidth};
    placed.characters.reserve(reading.characters.size());
    for (const auto& c : reading.characters)
        placed.characters.push_back({moved(c.left), moved(c.right), c.whitespace});
    return placed;
}

// A zoom in whose carried picture covers the frame brings nothing into view
// from beyond its edges: a line it carries partly beyond them shows part of
// what it showed. Where that part keeps its look, scaled, the line keeps its
// reading on the part (as a scroll keeps a line it takes partly out of the
// frame), instead of being detected and read again in every frame of the
// zoom. `before` (pixels of `reference`) is carried by the pixel motion
// `scale` (above 1), `offset`. Gives where the part in view is found, and
// the reading placed on it.
std::optional<std::pair<cv::Rect, OcrEngine::LineReading>> keptInView(const cv::Mat& frame, const cv::Mat& reference,
                                                                      const cv::Rect& before, double scale,
                                                                      cv::Point2d offset,
                                                                      const OcrEngine::LineReading& reading)
{
    const cv::Rect2d carried = carriedBy(before, scale, offset);
    // The part of `before` that lands inside the frame, in whole pixels.
    const cv::Rect2d inView(-offset.x / scale, -offset.y / scale, frame.cols / scale, frame.rows / scale);
    const cv::Rect2d part = cv::Rect2d(before) & inView;
    const cv::Rect beforePart(cv::Point(static_cast<int>(std::ceil(part.x)), static_cast<int>(std::ceil(part.y))),
                              cv::Point(static_cast<int>(std::floor(part.br().x)),
                                        static_cast<int>(std::floor(part.br().y))));
    const cv::Rect frameRect({}, frame.size());
    const cv::Rect predicted = rounded(carriedBy(beforePart, scale, offset)) & frameRect;
    if (beforePart.empty() || beforePart == before || predicted.empty())
        return std::nullopt;
    const auto found = keepsItsLook(frame, reference, beforePart, predicted, true);
    if (!found)
        return std::nullopt;
    const cv::Point2d drift(found->x - predicted.x, found->y - predicted.y);
    const cv::Rect2d line(carried.x + drift.x, carried.y + drift.y, carried.width, carried.height);
    return std::pair{*found, placedOnPart(reading, line, *found)};
}

} // namespace

std::optional<IncrementalRecognizer::ZoomPlan> IncrementalRecognizer::planZoom(const Image& raster,
                                                                               const cv::Mat& frame,
                                                                               const FrameContext& context,
                                                                               const std::vector<std::size_t>& skipped,
                                                                               std::stop_token stop)
{
    const cv::Mat& reference = previous_.reference;
    if (!context.motion || !previous_.context.motion || reference.size() != frame.size() ||
        reference.type() != frame.type())
        return std::nullopt;
    const MotionTransform step = context.motion->composed(previous_.context.motion->inverted());
    const double scale = step.scale();
    const cv::Point2d offset(step.tx() * frame.cols, step.ty() * frame.rows);
    if (!std::isfinite(scale) || !std::isfinite(offset.x) || !std::isfinite(offset.y) || scale <= 0)
        return std::nullopt;

    ZoomPlan result;
    auto unexplained = unexplainedTiles(frame, reference, scale, offset);
    if (!unexplained)
        return std::nullopt;
    std::vector<cv::Rect> areas = std::move(*unexplained);
    std::vector<bool> keptByPlan(previous_.lines.size(), false);
    for (const std::size_t j : skipped)
        keptByPlan[j] = true;
    const cv::Rect frameRect({}, frame.size());
    for (std::size_t j = 0; j < previous_.lines.size(); ++j) {
        if (keptByPlan[j])
            continue;
        const cv::Rect& before = previous_.lines[j];
        const cv::Rect now = rounded(carriedBy(before, scale, offset));
        // The box goes where the look is found, which keeps it on the text
        // through many frames of rounding and registration error.
        if (const auto found = previous_.readings[j] && (now & frameRect) == now
                                   ? keepsItsLook(frame, reference, before, now)
                                   : std::nullopt)
            result.kept.push_back({j, *found, std::nullopt});
        else if (auto part = scale > 1 && previous_.readings[j] ? keptInView(frame, reference, before, scale, offset,
                                                                              *previous_.readings[j])
                                                                : std::nullopt)
            result.kept.push_back({j, part->first, std::move(part->second)});
        else if (const cv::Rect inside = now & frameRect; !inside.empty())
            areas.push_back(inside);
    }
    if (stop.stop_requested())
        throw OperationCancelled();

    const double sx = static_cast<double>(frame.cols) / raster.width();
    const double sy = static_cast<double>(frame.rows) / raster.height();
    std::vector<cv::Rect> kept;
    for (const ZoomPlan::Kept& line : result.kept)
        kept.push_back(line.box);
    auto fresh = detectInWindows(raster, frame, detectionWindows(areas, sx, sy, raster.pixels.size()), kept, stop);
    if (!fresh)
        return std::nullopt;
    result.fresh = std::move(*fresh);
    return result;
}

} // namespace scrivel
