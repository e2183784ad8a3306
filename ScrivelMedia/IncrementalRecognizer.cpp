#include "ScrivelMedia/IncrementalRecognizer.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "ScrivelCore/Errors.hpp"
#include "ScrivelMedia/OcrEngine.hpp"
#include "ScrivelMedia/TextRecognizer.hpp"

namespace scrivel {

namespace {

// Change is measured on tiles of this many frame pixels.
constexpr int kTile = 32;
// A line keeps its previous detection only when its pixels and this many
// pixels all round are unchanged: the detector looks beyond a line's box,
// and typing next to a line changes its box.
constexpr int kCarryMarginPixels = 8;
// Raster pixels of context detected all round a changed area, for the same
// reason.
constexpr int kWindowMargin = 48;
// Windows overlapping this much are detected as one.
constexpr double kMergedWindowOverlap = 0.5;
// Above this share of the raster's area in windows, detect the whole frame.
constexpr double kMostWindowShare = 0.6;
// Below this share of unchanged tiles, the frame is taken as new.
constexpr double kLeastUnchangedShare = 0.25;
// A fresh detection that a carried line covers this much is the same line.
constexpr double kSameLineOverlap = 0.5;

// Runs f(0) .. f(count - 1) on up to `threads` threads (this one included),
// joined before returning; rethrows the first error, or OperationCancelled
// once `stop` is requested.
template <typename F>
void parallelFor(std::size_t count, int threads, std::stop_token stop, F&& f)
{
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex errorMutex;
    std::exception_ptr error; // guarded by errorMutex
    auto work = [&] {
        while (!failed.load() && !stop.stop_requested()) {
            const std::size_t i = next++;
            if (i >= count)
                return;
            try {
                f(i);
            } catch (...) {
                std::lock_guard lock(errorMutex);
                if (!error)
                    error = std::current_exception();
                failed = true;
            }
        }
    };
    {
        std::vector<std::jthread> helpers;
        const auto extra = std::min<std::size_t>(count, static_cast<std::size_t>(std::max(threads, 1))) - (count > 0);
        for (std::size_t t = 0; t < extra; ++t)
            helpers.emplace_back(work);
        work();
    }
    if (error)
        std::rethrow_exception(error);
    if (stop.stop_requested())
        throw OperationCancelled();
}

// Top to bottom, and left to right within a row (rows: boxes whose tops lie
// within half the smaller height), as the engine orders its detections.
void sortInReadingOrder(std::vector<cv::Rect>& lines)
{
    std::sort(lines.begin(), lines.end(),
              [](const cv::Rect& a, const cv::Rect& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
    for (std::size_t i = 1; i < lines.size(); ++i) {
        for (std::size_t j = i; j > 0; --j) {
            const int rowTolerance = std::min(lines[j - 1].height, lines[j].height) / 2;
            if (std::abs(lines[j].y - lines[j - 1].y) <= rowTolerance && lines[j].x < lines[j - 1].x)
                std::swap(lines[j - 1], lines[j]);
            else
                break;
        }
    }
}

// Whether `current(area)` is byte for byte `previous(area - shift)`, with
// `shift` the whole-pixel displacement of the picture since `previous`.
bool sameAfterShift(const cv::Mat& current, const cv::Mat& previous, cv::Rect area, cv::Point shift)
{
    const cv::Rect source = area - shift;
    if ((source & cv::Rect(0, 0, previous.cols, previous.rows)) != source)
        return false;
    const std::size_t rowBytes = static_cast<std::size_t>(area.width) * current.elemSize();
    for (int row = 0; row < area.height; ++row)
        if (std::memcmp(current.ptr(area.y + row, area.x), previous.ptr(source.y + row, source.x), rowBytes) != 0)
            return false;
    return true;
}

// The frame cut into tiles, each with a mark (unchanged, or to detect).
class TileMap {
public:
    explicit TileMap(cv::Size frame)
        : frame_(frame), columns_((frame.width + kTile - 1) / kTile), rows_((frame.height + kTile - 1) / kTile)
    {
        marks_.assign(static_cast<std::size_t>(columns_) * static_cast<std::size_t>(rows_), 0);
    }

    int columns() const { return columns_; }
    int rows() const { return rows_; }
    cv::Rect tile(int column, int row) const
    {
        return cv::Rect(column * kTile, row * kTile, kTile, kTile) & cv::Rect({}, frame_);
    }
    std::uint8_t& at(int column, int row) { return marks_[static_cast<std::size_t>(row) * columns_ + column]; }
    std::uint8_t at(int column, int row) const { return marks_[static_cast<std::size_t>(row) * columns_ + column]; }

private:
    cv::Size frame_;
    int columns_;
    int rows_;
    std::vector<std::uint8_t> marks_;
};

// Unchanged tiles under `shift`; every `stride`-th tile in both directions.
TileMap unchangedTiles(const cv::Mat& current, const cv::Mat& previous, cv::Point shift, int stride, int& count)
{
    TileMap map(current.size());
    count = 0;
    for (int r = 0; r < map.rows(); r += stride)
        for (int c = 0; c < map.columns(); c += stride)
            if (sameAfterShift(current, previous, map.tile(c, r), shift)) {
                map.at(c, r) = 1;
                ++count;
            }
    return map;
}

// Whole-pixel displacements worth trying: none, and the registration's
// motion since the previous frame with a pixel of slack, when that motion is
// a pure shift (scale changing by less than a pixel across the frame).
std::vector<cv::Point> candidateShifts(const IncrementalRecognizer::FrameContext& previous,
                                       const IncrementalRecognizer::FrameContext& current, cv::Size frame)
{
    std::vector<cv::Point> shifts{{0, 0}};
    if (!previous.motion || !current.motion || previous.sceneID != current.sceneID)
        return shifts;
    const MotionTransform& a = *previous.motion;
    const MotionTransform& b = *current.motion;
    const double zoom = b.scale() / a.scale();
    if (!(std::abs(zoom - 1) * std::max(frame.width, frame.height) < 1))
        return shifts;
    // Where the frame's centre in the previous frame has gone.
    const double px = (0.5 - a.tx()) / a.scale() * b.scale() + b.tx();
    const double py = (0.5 - a.ty()) / a.scale() * b.scale() + b.ty();
    const double dx = (px - 0.5) * frame.width;
    const double dy = (py - 0.5) * frame.height;
    if (!std::isfinite(dx) || !std::isfinite(dy) || std::abs(dx) >= frame.width || std::abs(dy) >= frame.height)
        return shifts;
    const cv::Point centre(static_cast<int>(std::lround(dx)), static_cast<int>(std::lround(dy)));
    for (int y = -1; y <= 1; ++y)
        for (int x = -1; x <= 1; ++x)
            if (cv::Point shift = centre + cv::Point(x, y); shift != cv::Point(0, 0))
                shifts.push_back(shift);
    return shifts;
}

double overlapOfSmaller(const cv::Rect& a, const cv::Rect& b)
{
    const double smaller = std::min(a.area(), b.area());
    return smaller > 0 ? (a & b).area() / smaller : 0.0;
}

// A raster area `area` grown to one of a few sizes inside `raster` (each
// size binds a detection network of its own).
cv::Rect quantized(cv::Rect area, cv::Size raster)
{
    auto size = [](int length, int full, int step) {
        const int rounded = (length + step - 1) / step * step;
        return rounded >= full - step / 2 ? full : rounded;
    };
    const int width = size(area.width, raster.width, 256);
    const int height = size(area.height, raster.height, 128);
    const int x = std::clamp(area.x - (width - area.width) / 2, 0, raster.width - width);
    const int y = std::clamp(area.y - (height - area.height) / 2, 0, raster.height - height);
    return {x, y, width, height};
}

// Detection windows (raster pixels) around frame areas, with context all
// round, merged where they overlap.
std::vector<cv::Rect> windowsFor(const std::vector<cv::Rect>& frameAreas, double sx, double sy, cv::Size raster)
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
    for (bool merged = true; merged;) {
        merged = false;
        for (std::size_t i = 0; i < windows.size() && !merged; ++i)
            for (std::size_t j = i + 1; j < windows.size() && !merged; ++j)
                if (overlapOfSmaller(windows[i], windows[j]) > kMergedWindowOverlap) {
                    windows[i] = quantized(windows[i] | windows[j], raster);
                    windows.erase(windows.begin() + static_cast<std::ptrdiff_t>(j));
                    merged = true;
                }
    }
    return windows;
}

} // namespace

IncrementalRecognizer::IncrementalRecognizer(std::shared_ptr<const OcrEngine> engine, Options options)
    : engine_(std::move(engine)), options_(options)
{
    options_.threads = std::max(1, options_.threads);
}

IncrementalRecognizer::IncrementalRecognizer(Options options) : IncrementalRecognizer(OcrEngine::shared(), options) {}

IncrementalRecognizer::~IncrementalRecognizer() = default;

std::optional<std::vector<cv::Rect>> IncrementalRecognizer::incrementalLines(const Image& raster, const cv::Mat& frame,
                                                                             const FrameContext& context,
                                                                             std::stop_token stop)
{
    if (previous_.frame.empty() || previous_.frame.size() != frame.size() || previous_.frame.type() != frame.type() ||
        previous_.rasterSize != raster.pixels.size())
        return std::nullopt;

    // The displacement that leaves most of a sample of tiles unchanged.
    cv::Point shift(0, 0);
    int best = -1;
    for (const cv::Point candidate : candidateShifts(previous_.context, context, frame.size())) {
        int count = 0;
        unchangedTiles(frame, previous_.frame, candidate, 3, count);
        if (count > best) {
            best = count;
            shift = candidate;
        }
    }
    int unchangedCount = 0;
    const TileMap unchanged = unchangedTiles(frame, previous_.frame, shift, 1, unchangedCount);
    if (unchangedCount < kLeastUnchangedShare * unchanged.columns() * unchanged.rows())
        return std::nullopt;

    // Previous lines whose pixels and surroundings are unchanged keep their
    // detection; the others are detected again, with whatever changed.
    TileMap dirty(frame.size());
    for (int r = 0; r < unchanged.rows(); ++r)
        for (int c = 0; c < unchanged.columns(); ++c)
            if (!unchanged.at(c, r))
                dirty.at(c, r) = 1;
    const cv::Rect frameRect({}, frame.size());
    std::vector<cv::Rect> carried;
    std::vector<cv::Rect> redetected;
    for (const cv::Rect& line : previous_.lines) {
        const cv::Rect moved = line + shift;
        const cv::Rect surroundings =
            cv::Rect(moved.x - kCarryMarginPixels, moved.y - kCarryMarginPixels, moved.width + 2 * kCarryMarginPixels,
                     moved.height + 2 * kCarryMarginPixels) &
            frameRect;
        if ((moved & frameRect) == moved && sameAfterShift(frame, previous_.frame, surroundings, shift))
            carried.push_back(moved);
        else
            redetected.push_back(moved & frameRect);
    }
    std::erase_if(redetected, [](const cv::Rect& line) { return line.empty(); });

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
    std::vector<cv::Rect> windows = windowsFor(changedAreas, sx, sy, raster.pixels.size());

    std::vector<cv::Rect> fresh;
    for (int attempt = 0; attempt < 2 && !windows.empty(); ++attempt) {
        double windowArea = 0;
        for (const cv::Rect& window : windows)
            windowArea += window.area();
        if (windowArea > kMostWindowShare * raster.width() * raster.height())
            return std::nullopt;
        std::vector<std::vector<cv::Rect>> found(windows.size());
        parallelFor(windows.size(), options_.threads, stop,
                    [&](std::size_t i) { found[i] = engine_->findLines(raster, frame.size(), windows[i]); });
        // A window's edge inside the raster may cut a line: such a line's
        // window is widened to the whole width and detected again.
        std::vector<cv::Rect> retry;
        for (std::size_t i = 0; i < windows.size(); ++i) {
            const cv::Rect& w = windows[i];
            const cv::Rect inner(static_cast<int>(std::floor(w.x * sx)) + (w.x > 0 ? 1 : -1),
                                 static_cast<int>(std::floor(w.y * sy)) + (w.y > 0 ? 1 : -1), 0, 0);
            const int right = w.br().x < raster.width() ? static_cast<int>(std::ceil(w.br().x * sx)) - 1 : frame.cols + 1;
            const int bottom =
                w.br().y < raster.height() ? static_cast<int>(std::ceil(w.br().y * sy)) - 1 : frame.rows + 1;
            for (const cv::Rect& line : found[i]) {
                // A carried line speaks for its place (it is whole, where
                // the window's edge may have cut what was found here).
                if (std::any_of(carried.begin(), carried.end(),
                                [&](const cv::Rect& c) { return overlapOfSmaller(line, c) > kSameLineOverlap; }))
                    continue;
                if (line.x <= inner.x || line.y <= inner.y || line.br().x >= right || line.br().y >= bottom) {
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
        windows = windowsFor(retry, sx, sy, raster.pixels.size());
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
    statistics_.linesCarried += static_cast<std::int64_t>(carried.size());
    carried.insert(carried.end(), unique.begin(), unique.end());
    sortInReadingOrder(carried);
    return carried;
}

std::vector<std::optional<OcrEngine::LineReading>> IncrementalRecognizer::read(const cv::Mat& frame,
                                                                                const std::vector<cv::Rect>& lines,
                                                                                std::stop_token stop)
{
    std::vector<std::optional<OcrEngine::LineReading>> readings(lines.size());
    // Crops of equal pixels are read once, even within a frame.
    struct Pending {
        LineReadingCache::Key key;
        cv::Rect line;
        std::vector<std::size_t> users;
        std::optional<OcrEngine::LineReading> reading;
    };
    std::vector<Pending> pending;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t> pendingIndex;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const cv::Rect& line = lines[i];
        if (line.empty())
            continue;
        const LineReadingCache::Key key = LineReadingCache::keyOf(frame(line));
        if (auto hit = cache_.find(key)) {
            readings[i] = std::move(*hit);
            ++statistics_.linesReused;
            continue;
        }
        auto [at, added] = pendingIndex.try_emplace({key.high, key.low}, pending.size());
        if (added)
            pending.push_back({key, line, {}, std::nullopt});
        else
            ++statistics_.linesReused;
        pending[at->second].users.push_back(i);
    }
    parallelFor(pending.size(), options_.threads, stop,
                [&](std::size_t i) { pending[i].reading = engine_->readLinePixels(frame(pending[i].line)); });
    statistics_.linesRead += static_cast<std::int64_t>(pending.size());
    for (Pending& p : pending) {
        for (std::size_t user : p.users)
            readings[user] = p.reading;
        cache_.insert(p.key, std::move(p.reading));
    }
    return readings;
}

std::vector<DetectedRegion> IncrementalRecognizer::recognize(const Image& raster, const Image& frame,
                                                             const ScanSettings& settings, const FrameContext& context,
                                                             std::stop_token stop)
{
    if (stop.stop_requested())
        throw OperationCancelled();
    if (raster.empty())
        return {};
    const cv::Mat& source = frame.empty() ? raster.pixels : frame.pixels;
    const cv::Rect sourceRect({}, source.size());

    std::vector<cv::Rect> lines;
    if (auto kept = incrementalLines(raster, source, context, stop)) {
        lines = std::move(*kept);
        ++statistics_.bandDetections;
    } else {
        // One network call over the whole frame: OpenCV spreads its layers
        // over the frame's threads (frames are recognized one at a time).
        const int single = cv::getNumThreads();
        cv::setNumThreads(options_.threads);
        try {
            lines = engine_->findLines(raster, source.size());
        } catch (...) {
            cv::setNumThreads(single);
            throw;
        }
        cv::setNumThreads(single);
        ++statistics_.wholeFrameDetections;
    }
    for (cv::Rect& line : lines)
        line &= sourceRect;
    std::erase_if(lines, [](const cv::Rect& line) { return line.empty(); });

    const auto readings = read(source, lines, stop);
    std::vector<OcrLine> observed;
    observed.reserve(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (readings[i])
            observed.push_back(OcrEngine::placeLine(*readings[i], lines[i], source.size()));
    std::vector<const TextObservation*> observations;
    observations.reserve(observed.size());
    for (const OcrLine& line : observed)
        observations.push_back(&line);
    std::vector<DetectedRegion> regions =
        TextRecognizer::regions(observations, static_cast<double>(raster.width()) / raster.height(), settings);

    // Keep the frame's pixels (shared, not copied) for the next comparison.
    previous_ = Previous{source, raster.pixels.size(), std::move(lines), context};
    cache_.nextFrame();
    ++statistics_.frames;
    if (stop.stop_requested())
        throw OperationCancelled();
    return regions;
}

} // namespace scrivel
