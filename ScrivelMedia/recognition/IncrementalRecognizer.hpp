#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

#include <opencv2/core.hpp>

#include "ScrivelCore/MotionTransform.hpp"
#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"
#include "decode/Image.hpp"
#include "recognition/LineReadingCache.hpp"

namespace scrivel {

class OcrEngine;

// Recognizes the frames of one scan in order, doing only the work that
// changed since the previous frame. Lines whose pixels and surroundings are
// unchanged (static, or moved by whole pixels), up to the few levels of noise
// video coding leaves, keep their detection and reading, moved with the
// picture; detection runs only on bands around what changed, and lines read
// again whose pixels were seen before come from a cache. Anything in doubt (a
// cut, a zoom, a large change, a line cut by a band's edge) is detected on
// the whole frame again. Each result is the recognition of that frame: every
// reading is what reading the line's pixels gives, the pixels being this
// frame's or, for a kept line, ones this frame's differ from by no more than
// coding noise; a line changed in its middle keeps the old reading around
// the stretch read again, and a line made of what shows of lines cut off by
// a scroll (a sheet's frozen column, the frame's edge) takes their
// characters that show, and those beyond the edge.
// One per scan; recognize() is called by one thread at a time, in frame order.
class IncrementalRecognizer {
public:
    struct Options {
        // Threads that detect bands and read lines of one frame at once.
        int threads = 1;
    };

    // What the scan knows of a frame besides its pixels: the registration's
    // motion (scene canonical -> frame, normalised) and its tracking scene.
    struct FrameContext {
        std::optional<MotionTransform> motion;
        std::int64_t sceneID = 0;
    };

    // Counts of the work done so far, to measure and to test.
    struct Statistics {
        std::int64_t frames = 0;
        std::int64_t wholeFrameDetections = 0;
        std::int64_t bandDetections = 0; // frames detected in bands only (possibly none)
        std::int64_t linesCarried = 0;   // detections kept from the previous frame
        std::int64_t linesRead = 0;      // crops run through the recognition model
        std::int64_t linesReused = 0;    // lines answered without it: kept, or from the cache
        std::int64_t linesMatched = 0;   // of those, from a crop read before or beside them, equal but for coding noise
        std::int64_t linesPatched = 0;   // lines of which only a changed stretch was read
        std::int64_t linesResampled = 0; // lines kept through a zoom by their scaled look
        std::int64_t linesComposed = 0;  // reused lines made of what shows of previous lines (cut by a scroll)
        std::int64_t zoomFramesPredicted = 0; // zoom frames detected only where the scaled picture differs
        bool operator==(const Statistics&) const = default;
    };

    IncrementalRecognizer(std::shared_ptr<const OcrEngine> engine, Options options);
    // On the process-wide engine (OcrEngine::shared()).
    explicit IncrementalRecognizer(Options options);
    ~IncrementalRecognizer();
    IncrementalRecognizer(const IncrementalRecognizer&) = delete;
    IncrementalRecognizer& operator=(const IncrementalRecognizer&) = delete;

    // As TextRecognizer::recognize(raster, settings, &frame): lines are found
    // on `raster` and read from `frame` (the same picture, at least as large).
    // Throws OperationCancelled once `stop` is requested, and the engine's
    // errors.
    std::vector<DetectedRegion> recognize(const Image& raster, const Image& frame, const ScanSettings& settings,
                                          const FrameContext& context, std::stop_token stop = {});

    // Whether two frames of one size and type show the same picture up to
    // video coding noise: no channel of any pixel differs by more than the
    // noise tolerance.
    static bool sameWithinNoise(const cv::Mat& a, const cv::Mat& b);
    // Whether line crop `line` (8-bit BGR) shows the picture of crop `read`
    // moved by `offset` (a pixel of `read` at p stands at p + offset in
    // `line`): the same picture but for coding noise where they overlap, and
    // plain background within the noise wherever only one of them reaches.
    // One line found in boxes a pixel or two apart passes; a crop taking in
    // more (a grid line, a neighbour's edge) does not.
    static bool samePictureMoved(const cv::Mat& line, const cv::Mat& read, cv::Point offset);

    // Detection windows (raster pixels, the raster `sx` x `sy` times smaller
    // than the frame) round frame areas `frameAreas`: each area with the
    // detector's context all round, sides rounded up to a few sizes, merged
    // where detecting them as one costs no more.
    static std::vector<cv::Rect> detectionWindows(const std::vector<cv::Rect>& frameAreas, double sx, double sy,
                                                  cv::Size raster);

    const Statistics& statistics() const { return statistics_; }
    // The line crops (frame pixels) of the latest frame, in reading order.
    const std::vector<cv::Rect>& latestLines() const { return previous_.lines; }
    // The pixels the next frame is compared with.
    const cv::Mat& latestReference() const { return previous_.reference; }

private:
    struct Previous {
        // The pixels the latest frame's lines were found and read on; where
        // a frame differed from it by no more than coding noise, it keeps
        // the older pixels.
        cv::Mat reference;
        cv::Size rasterSize;
        std::vector<cv::Rect> lines;
        std::vector<std::optional<OcrEngine::LineReading>> readings; // one per line
        // One per line: whether it was kept through a zoom by its look, its
        // reading made on other pixels.
        std::vector<bool> keptByLook;
        FrameContext context;
        // Whether `reference` was made here and shares its pixels with no
        // one (not a frame's own): the next one may be written over it.
        bool ownsReference = false;
    };
    struct Plan;
    struct ZoomPlan;

    // What to detect and read of `frame` given the previous one, or nothing
    // when the whole frame must be recognized again.
    std::optional<Plan> plan(const Image& raster, const cv::Mat& frame, const FrameContext& context,
                             std::stop_token stop);
    // The lines detected in `windows` (raster pixels) but for those made of
    // `kept` lines; a line a window's side may have cut is detected again
    // across the whole width. Nothing when the whole frame must be detected
    // instead: windows over too much of it, or a line cut again.
    std::optional<std::vector<cv::Rect>> detectInWindows(const Image& raster, const cv::Mat& frame,
                                                         std::vector<cv::Rect> windows,
                                                         const std::vector<cv::Rect>& kept, std::stop_token stop);
    // During a zoom, the previous lines carried by the motion where they
    // keep their look (but for those in `skipped`, kept otherwise), and the
    // lines found where the carried picture does not explain the frame; or
    // nothing when the whole frame must be detected.
    std::optional<ZoomPlan> planZoom(const Image& raster, const cv::Mat& frame, const FrameContext& context,
                                     const std::vector<std::size_t>& skipped, std::stop_token stop);
    // The reading of a line made of what shows of previous lines, if it is.
    using Composer = std::function<std::optional<OcrEngine::LineReading>(const cv::Rect&)>;
    // The readings of `lines`: from the cache, from `compose` (the first
    // `composable` lines, when the cache has none), or read.
    std::vector<std::optional<OcrEngine::LineReading>> read(const cv::Mat& frame, const std::vector<cv::Rect>& lines,
                                                            std::stop_token stop, std::size_t composable = 0,
                                                            const Composer& compose = {});

    std::shared_ptr<const OcrEngine> engine_;
    Options options_;
    LineReadingCache cache_;
    Previous previous_;
    // Zoom frames in a row recognized by planZoom().
    int predictedZoomFrames_ = 0;
    Statistics statistics_;
};

} // namespace scrivel
