#include "recognition/IncrementalRecognizerParts.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include <opencv2/core.hpp>

#include "recognition/OcrEngine.hpp"
#include "common/ParallelFor.hpp"

namespace scrivel {

namespace incremental {

// Whether `line` is made of carried lines: nothing of it lies outside them
// and their margins but a sliver narrower than half a character (so a line
// that grew, by as little as a typed character, is not). Only carried lines
// on the line's own row count: in a dense table the margins of the rows
// above and below together reach over a short cell between them.
bool mostlyCarried(const cv::Rect& line, const std::vector<cv::Rect>& carried)
{
    if (line.empty())
        return true;
    cv::Mat covered(line.size(), CV_8U, cv::Scalar(0));
    for (const cv::Rect& kept : carried) {
        const int shared = std::min(kept.br().y, line.br().y) - std::max(kept.y, line.y);
        if (2 * shared < std::min(kept.height, line.height))
            continue;
        const cv::Rect grown(kept.x - kCarryMarginPixels, kept.y - kCarryMarginPixels,
                             kept.width + 2 * kCarryMarginPixels, kept.height + 2 * kCarryMarginPixels);
        const cv::Rect overlap = grown & line;
        if (!overlap.empty())
            covered(overlap - line.tl()).setTo(255);
    }
    const int outside = line.area() - cv::countNonZero(covered);
    return outside <= kLeastNewShare * line.height * line.height;
}

} // namespace incremental

namespace {

double overlapOfSmaller(const cv::Rect& a, const cv::Rect& b)
{
    const double smaller = std::min(a.area(), b.area());
    return smaller > 0 ? (a & b).area() / smaller : 0.0;
}

// A raster area `area` grown to a multiple of kWindowStep inside `raster`.
cv::Rect quantized(cv::Rect area, cv::Size raster)
{
    auto size = [](int length, int full, int step) {
        const int rounded = (length + step - 1) / step * step;
        return rounded >= full - step / 2 ? full : rounded;
    };
    const int width = size(area.width, raster.width, kWindowStep);
    const int height = size(area.height, raster.height, kWindowStep);
    const int x = std::clamp(area.x - (width - area.width) / 2, 0, raster.width - width);
    const int y = std::clamp(area.y - (height - area.height) / 2, 0, raster.height - height);
    return {x, y, width, height};
}


// Whether `line`, found in detection window `window` (raster pixels, the
// raster `sx` × `sy` times smaller than the frame), may be cut by one of the
// window's sides inside the raster. The detector may drop the glyph a side
// cuts, so a line ending within a glyph's width (its height) of a side is
// taken as cut.
bool cutByWindow(const cv::Rect& line, const cv::Rect& window, double sx, double sy, cv::Size raster, cv::Size frame)
{
    const int left = static_cast<int>(std::floor(window.x * sx)) + (window.x > 0 ? 1 : -1);
    const int top = static_cast<int>(std::floor(window.y * sy)) + (window.y > 0 ? 1 : -1);
    const int right =
        window.br().x < raster.width ? static_cast<int>(std::ceil(window.br().x * sx)) - 1 : frame.width + 1;
    const int bottom =
        window.br().y < raster.height ? static_cast<int>(std::ceil(window.br().y * sy)) - 1 : frame.height + 1;
    const bool cutAtLeft = window.x > 0 && line.x <= left + line.height;
    const bool cutAtRight = window.br().x < raster.width && line.br().x >= right - line.height;
    return cutAtLeft || cutAtRight || line.y <= top || line.br().y >= bottom;
}

} // namespace

std::vector<cv::Rect> IncrementalRecognizer::detectionWindows(const std::vector<cv::Rect>& frameAreas, double sx,
                                                             double sy, cv::Size raster)
{
    const cv::Rect rasterRect({}, raster);
    std::vector<cv::Rect> windows;
    for (const cv::Rect& area : frameAreas) {
        const cv::Point topLeft(static_cast<int>(std::floor(area.x / sx)) - kWindowMargin,
                                static_cast<int>(std::floor(area.y / sy)) - kWindowMargin);
        const cv::Point bottomRight(static_cast<int>(std::ceil(area.br().x / sx)) + kWindowMargin,
                                    static_cast<int>(std::ceil(area.br().y / sy)) + kWindowMargin);
        windows.push_back(quantized(cv::Rect(topLeft, bottomRight) & rasterRect, raster));
    }
    // Windows overlapping by much are one; so are two whose joint window
    // costs no more than both: the cells of a sheet's row, each with its
    // context, make one strip, not a row of windows counting their overlaps
    // twice (which on the sheet recording detected the whole frame instead).
    for (bool merged = true; merged;) {
        merged = false;
        for (std::size_t i = 0; i < windows.size() && !merged; ++i)
            for (std::size_t j = i + 1; j < windows.size() && !merged; ++j)
                if (const cv::Rect joined = quantized(windows[i] | windows[j], raster);
                    overlapOfSmaller(windows[i], windows[j]) > kMergedWindowOverlap ||
                    joined.area() <= windows[i].area() + windows[j].area()) {
                    windows[i] = joined;
                    windows.erase(windows.begin() + static_cast<std::ptrdiff_t>(j));
                    merged = true;
                }
    }
    return windows;
}

std::optional<IncrementalRecognizer::Plan> IncrementalRecognizer::plan(const Image& raster, const cv::Mat& frame,
                                                                       const FrameContext& context, std::stop_token stop)
{
    const cv::Mat& reference = previous_.reference;
    if (reference.empty() || reference.size() != frame.size() || reference.type() != frame.type() ||
        frame.depth() != CV_8U || previous_.rasterSize != raster.pixels.size())
        return std::nullopt;

    // The displacement that leaves most tiles unchanged; the likeliest one
    // is taken at once when it explains nearly all of the frame.
    std::optional<ChangeMap> changes;
    TileMap unchanged(frame.size());
    int unchangedCount = -1;
    const int tileCount = unchanged.columns() * unchanged.rows();
    cv::Point shift(0, 0);
    for (const cv::Point candidate : candidateShifts(previous_.context, context, frame.size())) {
        // A frame with parts moving apart (a sheet's frozen rows over a
        // scrolling body) leaves every displacement short of explaining
        // nearly all of it; those far behind the best need not be mapped.
        if (unchangedCount > 0 &&
            estimatedUnchangedTiles(frame, reference, candidate) < kHopelessEstimateShare * unchangedCount)
            continue;
        ChangeMap candidateChanges(frame, reference, candidate);
        int count = 0;
        TileMap tiles = candidateChanges.tiles(count);
        if (count > unchangedCount) {
            changes.emplace(std::move(candidateChanges));
            unchanged = std::move(tiles);
            unchangedCount = count;
            shift = candidate;
        }
        if (unchangedCount >= kAlmostAllUnchangedShare * tileCount)
            break;
    }
    // Previous lines whose pixels and surroundings are unchanged keep their
    // detection; the others are detected again, with whatever changed.
    TileMap dirty(frame.size());
    for (int r = 0; r < unchanged.rows(); ++r)
        for (int c = 0; c < unchanged.columns(); ++c)
            if (!unchanged.at(c, r))
                dirty.at(c, r) = 1;
    const cv::Rect frameRect({}, frame.size());
    std::vector<std::size_t> carriedLines;
    std::vector<Plan::Patch> patched;
    std::vector<cv::Rect> carried; // kept lines, patched ones too: detection leaves them be
    std::vector<cv::Rect> redetected;
    std::vector<std::size_t> stale; // neither carried nor patched
    std::size_t changedLines = 0;
    for (std::size_t i = 0; i < previous_.lines.size(); ++i) {
        const cv::Rect moved = previous_.lines[i] + shift;
        const cv::Rect surroundings = surroundingsOf(moved, frame.size());
        // A reading kept through a zoom by its look was not made on these
        // pixels (a character that looks much like another may have
        // changed): once the picture moves by whole pixels again, the line
        // is read afresh.
        if (previous_.keptByLook[i]) {
            stale.push_back(i);
            if (!changes->unchanged(surroundings))
                ++changedLines;
            continue;
        }
        // A line whose own pixels and the margins at its ends are unchanged
        // keeps its reading even when the margin above or below changed (a
        // pointer passing by); a change at its ends may be text typed onto
        // it, and has it read again.
        const cv::Rect alongside = withEndMargins(moved) & frameRect;
        if ((moved & frameRect) == moved &&
            (changes->unchanged(surroundings) ||
             (changes->reaches(alongside) && !changes->changedColumns(alongside)))) {
            carriedLines.push_back(i);
            carried.push_back(moved);
        } else if (auto piece = patchOf(previous_.readings[i], moved, frame, reference, shift, *changes)) {
            patched.push_back({i, *piece});
            carried.push_back(moved);
        } else {
            stale.push_back(i);
            ++changedLines;
        }
    }
    // Parts of the screen that do not move with the picture (a sheet's
    // frozen header and columns, a toolbar over a scrolling page) are found
    // unchanged in their old place: their tiles and lines are kept there.
    std::vector<std::size_t> stillLines;
    std::optional<TileMap> inPlaceTiles; // unchanged in their old place, when the picture moved
    if (shift != cv::Point(0, 0)) {
        const ChangeMap stillChanges(frame, reference, {0, 0});
        int stillCount = 0;
        const TileMap& stillTiles = inPlaceTiles.emplace(stillChanges.tiles(stillCount));
        for (int r = 0; r < unchanged.rows(); ++r)
            for (int c = 0; c < unchanged.columns(); ++c)
                if (!unchanged.at(c, r) && stillTiles.at(c, r)) {
                    unchanged.at(c, r) = kStillTile;
                    dirty.at(c, r) = 0;
                    ++unchangedCount;
                }
        std::erase_if(stale, [&](std::size_t i) {
            const cv::Rect& line = previous_.lines[i];
            if (previous_.keptByLook[i] || (line & frameRect) != line || !stillChanges.unchanged(surroundingsOf(line, frame.size())))
                return false;
            stillLines.push_back(i);
            carried.push_back(line);
            return true;
        });
    }
    // A line that moved with the picture into tiles unchanged in their old
    // place (a row scrolled under a sheet's frozen header or columns) is
    // hidden there: those tiles show what they showed before, and the lines
    // found on them then are kept in place or detected where they changed.
    // (Plain tiles are unchanged both in place and moved.) A line of those
    // tiles that was not kept is detected in its place.
    const auto onStillTiles = [&](const cv::Rect& box) {
        if (!inPlaceTiles || box.empty())
            return false;
        for (int r = box.y / kTile; r <= (box.br().y - 1) / kTile; ++r)
            for (int c = box.x / kTile; c <= (box.br().x - 1) / kTile; ++c)
                if (!inPlaceTiles->at(c, r))
                    return false;
        return true;
    };
    for (const std::size_t i : stale) {
        const cv::Rect moved = (previous_.lines[i] + shift) & frameRect;
        const cv::Rect inPlace = previous_.lines[i] & frameRect;
        if (previous_.keptByLook[i] || !onStillTiles(moved))
            redetected.push_back(moved);
        if (!previous_.keptByLook[i] && onStillTiles(inPlace))
            redetected.push_back(inPlace);
    }
    std::erase_if(redetected, [](const cv::Rect& line) { return line.empty(); });
    Plan result{shift,
                std::move(unchanged),
                std::move(carriedLines),
                std::move(patched),
                {},
                false,
                2 * (changedLines - stillLines.size()) > previous_.lines.size(),
                std::move(stillLines)};
    const auto wholeFrame = [&] {
        result.wholeFrame = true;
        return std::move(result);
    };
    if (unchangedCount < kLeastUnchangedShare * tileCount)
        return wholeFrame();

    // Changed areas: clusters of touching changed tiles, and the lines to
    // detect again.
    cv::Mat tiles(dirty.rows(), dirty.columns(), CV_8U);
    for (int r = 0; r < dirty.rows(); ++r)
        for (int c = 0; c < dirty.columns(); ++c)
            tiles.at<std::uint8_t>(r, c) = dirty.at(c, r) ? 255 : 0;
    cv::Mat labels;
    const int clusters = cv::connectedComponents(tiles, labels, 8, CV_32S);
    std::vector<cv::Rect> changedAreas(static_cast<std::size_t>(std::max(clusters - 1, 0)));
    for (int r = 0; r < dirty.rows(); ++r)
        for (int c = 0; c < dirty.columns(); ++c)
            if (dirty.at(c, r)) {
                cv::Rect& area = changedAreas[static_cast<std::size_t>(labels.at<int>(r, c) - 1)];
                area = area.empty() ? dirty.tile(c, r) : (area | dirty.tile(c, r));
            }
    changedAreas.insert(changedAreas.end(), redetected.begin(), redetected.end());
    const double sx = static_cast<double>(frame.cols) / raster.width();
    const double sy = static_cast<double>(frame.rows) / raster.height();
    auto fresh =
        detectInWindows(raster, frame, detectionWindows(changedAreas, sx, sy, raster.pixels.size()), carried, stop);
    if (!fresh)
        return wholeFrame();
    result.fresh = std::move(*fresh);
    return result;
}

std::optional<std::vector<cv::Rect>> IncrementalRecognizer::detectInWindows(const Image& raster, const cv::Mat& frame,
                                                                           std::vector<cv::Rect> windows,
                                                                           const std::vector<cv::Rect>& kept,
                                                                           std::stop_token stop)
{
    const double sx = static_cast<double>(frame.cols) / raster.width();
    const double sy = static_cast<double>(frame.rows) / raster.height();
    std::vector<cv::Rect> fresh;
    for (int attempt = 0; attempt < 2 && !windows.empty(); ++attempt) {
        double windowArea = 0;
        for (const cv::Rect& window : windows)
            windowArea += window.area();
        if (windowArea > kMostWindowShare * raster.width() * raster.height())
            return std::nullopt;
        std::vector<std::vector<cv::Rect>> found(windows.size());
        // Largest first, as lines are read widest first.
        std::vector<std::size_t> bySize(windows.size());
        std::iota(bySize.begin(), bySize.end(), std::size_t{0});
        std::stable_sort(bySize.begin(), bySize.end(),
                         [&](std::size_t a, std::size_t b) { return windows[a].area() > windows[b].area(); });
        parallelFor(windows.size(), options_.threads, stop, [&](std::size_t n) {
            const std::size_t i = bySize[n];
            found[i] = engine_->findLines(raster, frame.size(), windows[i]);
        });
        // A window's edge inside the raster may cut a line: such a line's
        // window is widened to the whole width and detected again.
        std::vector<cv::Rect> retry;
        for (std::size_t i = 0; i < windows.size(); ++i) {
            for (const cv::Rect& line : found[i]) {
                // Kept lines speak for their place (they are whole, where
                // the window's edge may have cut what was found here).
                if (mostlyCarried(line, kept))
                    continue;
                if (cutByWindow(line, windows[i], sx, sy, raster.pixels.size(), frame.size())) {
                    retry.push_back(cv::Rect(0, line.y, frame.cols, line.height));
                    continue;
                }
                fresh.push_back(line);
            }
        }
        if (retry.empty())
            break;
        if (attempt == 1)
            return std::nullopt;
        windows = detectionWindows(retry, sx, sy, raster.pixels.size());
        for (cv::Rect& window : windows)
            window = quantized(cv::Rect(0, window.y, raster.width(), window.height), raster.pixels.size());
        // Lines already taken from these windows' areas are found again there.
        std::erase_if(fresh, [&](const cv::Rect& line) {
            return std::any_of(windows.begin(), windows.end(), [&](const cv::Rect& w) {
                return (cv::Rect(static_cast<int>(w.x * sx), static_cast<int>(w.y * sy), static_cast<int>(w.width * sx),
                                 static_cast<int>(w.height * sy)) &
                        line) == line;
            });
        });
    }
    // Overlapping windows find a line twice.
    std::sort(fresh.begin(), fresh.end(), [](const cv::Rect& a, const cv::Rect& b) { return a.area() > b.area(); });
    std::vector<cv::Rect> unique;
    for (const cv::Rect& line : fresh)
        if (std::none_of(unique.begin(), unique.end(), [&](const cv::Rect& u) { return u == line; }))
            unique.push_back(line);
    return unique;
}

} // namespace scrivel
