#pragma once

// scan/: the stages joined into one pass over a recording: decoding,
// registration and recognition frame by frame, then tracking; progress and
// the stage profile the scanner bench reports.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

#include "ScrivelCore/MotionTransform.hpp"
#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"
#include "decode/Image.hpp"
#include "recognition/IncrementalRecognizer.hpp"
#include "scan/ScanProgress.hpp"
#include "recognition/TextRecognizer.hpp"
#include "tracking/VideoMaskTracker.hpp"

namespace scrivel {

// Runs a whole scan of one video: decodes every frame, numbers its scene,
// measures its motion, recognizes its text on worker threads, and hands the
// per-frame readings to the mask tracker. One scanner per scan job.
class VideoScanner {
public:
    // Reads one frame's text. `raster` is the frame at the quality's size,
    // `frame` the same frame at full size. Called from several worker threads
    // at once, so it must keep no unguarded state.
    using Recognizer =
        std::function<std::vector<DetectedRegion>(const Image& raster, const Image& frame, const ScanSettings& settings)>;
    using FrameContext = IncrementalRecognizer::FrameContext;
    // Reads one frame's text knowing the frames before it: called one frame
    // at a time, in frame order, on a worker thread. One per scan.
    using SequentialRecognizer = std::function<std::vector<DetectedRegion>(
        const Image& raster, const Image& frame, const ScanSettings& settings, const FrameContext& context,
        std::stop_token stop)>;
    // Makes the sequential recognizer of a new scan.
    using SequentialRecognizerFactory = std::function<SequentialRecognizer()>;
    // Turns the sorted per-frame readings into one set of masks per frame
    // (VideoMaskTracker::track), on the frames the scan kept as it decoded
    // them. Runs on the scan's thread. An empty tracker leaves the readings
    // as they are, and the scan keeps no frames.
    using Tracker = std::function<std::vector<DetectionSample>(
        const TrackingFrames& frames, const std::vector<DetectionSample>& samples,
        const std::vector<std::optional<MotionTransform>>& motions, const ScanProgressCallback& progress,
        std::stop_token stop)>;

    struct Options {
        // Recognize every frame from scratch (detection on the whole frame,
        // every line read), several frames at once, instead of recognizing
        // only what changed since the previous frame. For comparison.
        bool fullRecognition = false;
    };

    // The product's scanner: the OCR engine (models located on first use) and
    // the mask tracker. By default frames are recognized incrementally, in
    // order, each frame's detections and line reads spread over the
    // processors; with fullRecognition, as many frames at once as
    // maximumInFlight() allows on this machine. Inline so that code injecting
    // its own stages does not link the product's.
    VideoScanner() : VideoScanner(Options{}) {}
    explicit VideoScanner(Options options)
        : VideoScanner(options.fullRecognition ? productRecognizer() : Recognizer{},
                       options.fullRecognition ? SequentialRecognizerFactory{} : productSequentialRecognizer(),
                       productTracker(), maximumInFlightFor(defaultProcessorCount()))
    {
    }
    // Full recognition with the given stages.
    VideoScanner(Recognizer recognizer, Tracker tracker,
                 int maximumInFlight = maximumInFlightFor(defaultProcessorCount()));
    // Recognition in frame order by a fresh sequential recognizer per scan.
    VideoScanner(SequentialRecognizerFactory recognizers, Tracker tracker);

    // Throws ScrivelError::noVideoTrack (no video track, duration not finite
    // or not positive), VideoScanError (decoding or rasterizing failed, or no
    // frame at all), OperationCancelled once `stop` is requested, and
    // whatever the recognizer or the tracker throws. No partial result and no
    // worker thread survive a failure. `progress` is called on this thread.
    ScanResult scan(const std::filesystem::path& url, const ScanSettings& settings,
                    const ScanProgressCallback& progress, std::stop_token stop = {}) const;

    // Recognitions allowed at once: half the processors, 1 to 4.
    static int maximumInFlightFor(unsigned processorCount);
    static unsigned defaultProcessorCount();
    // duration × nominal rate rounded up, at least 1.
    static std::int64_t estimatedFrameCount(double durationSeconds, double nominalFrameRate);

    int maximumInFlight() const { return maximumInFlight_; }
    // Threads an incremental recognition gives one frame: the processors, 1 to 4.
    static int frameThreadsFor(unsigned processorCount);
    bool recognizesIncrementally() const { return static_cast<bool>(sequential_); }

    static Recognizer productRecognizer()
    {
        return [recognizer = TextRecognizer()](const Image& raster, const Image& frame, const ScanSettings& settings) {
            // Lines are found on the raster and read from the full frame,
            // which reads small text better when the raster is scaled down.
            const bool scaled = frame.pixels.size() != raster.pixels.size();
            return recognizer.recognize(raster, settings, scaled ? &frame : nullptr);
        };
    }
    static SequentialRecognizerFactory productSequentialRecognizer()
    {
        return [] {
            auto recognizer = std::make_shared<IncrementalRecognizer>(
                IncrementalRecognizer::Options{frameThreadsFor(defaultProcessorCount())});
            return [recognizer](const Image& raster, const Image& frame, const ScanSettings& settings,
                                const FrameContext& context, std::stop_token stop) {
                return recognizer->recognize(raster, frame, settings, context, stop);
            };
        };
    }
    static Tracker productTracker()
    {
        return [](const TrackingFrames& frames, const std::vector<DetectionSample>& samples,
                  const std::vector<std::optional<MotionTransform>>& motions, const ScanProgressCallback& progress,
                  std::stop_token stop) { return VideoMaskTracker().track(frames, samples, motions, progress, stop); };
    }

private:
    VideoScanner(Recognizer recognizer, SequentialRecognizerFactory recognizers, Tracker tracker, int maximumInFlight);

    Recognizer recognizer_;             // full recognition, or
    SequentialRecognizerFactory sequential_; // incremental recognition
    Tracker tracker_;
    int maximumInFlight_;
};

} // namespace scrivel
