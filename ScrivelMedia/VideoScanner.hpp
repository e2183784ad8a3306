#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <vector>

#include "ScrivelCore/MotionTransform.hpp"
#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"
#include "ScrivelMedia/Image.hpp"
#include "ScrivelMedia/ScanProgress.hpp"
#include "ScrivelMedia/TextRecognizer.hpp"
#include "ScrivelMedia/VideoMaskTracker.hpp"

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
    // Turns the sorted per-frame readings into one set of masks per frame
    // (VideoMaskTracker::track). Runs on the scan's thread.
    using Tracker = std::function<std::vector<DetectionSample>(
        const std::filesystem::path& url, const std::vector<DetectionSample>& samples,
        const std::vector<std::optional<MotionTransform>>& motions, const ScanProgressCallback& progress,
        std::stop_token stop)>;

    // The product's scanner: the OCR engine (models located on first use) and
    // the mask tracker, with as many recognitions at once as maximumInFlight()
    // allows on this machine. Inline so that code injecting its own stages
    // does not link the product's.
    VideoScanner() : VideoScanner(productRecognizer(), productTracker()) {}
    VideoScanner(Recognizer recognizer, Tracker tracker,
                 int maximumInFlight = maximumInFlightFor(defaultProcessorCount()));

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

private:
    static Recognizer productRecognizer()
    {
        return [recognizer = TextRecognizer()](const Image& raster, const Image& frame, const ScanSettings& settings) {
            // Lines are found on the raster and read from the full frame,
            // which reads small text better when the raster is scaled down.
            const bool scaled = frame.pixels.size() != raster.pixels.size();
            return recognizer.recognize(raster, settings, scaled ? &frame : nullptr);
        };
    }
    static Tracker productTracker()
    {
        return [](const std::filesystem::path& url, const std::vector<DetectionSample>& samples,
                  const std::vector<std::optional<MotionTransform>>& motions, const ScanProgressCallback& progress,
                  std::stop_token stop) { return VideoMaskTracker().track(url.string(), samples, motions, progress, stop); };
    }

    Recognizer recognizer_;
    Tracker tracker_;
    int maximumInFlight_;
};

} // namespace scrivel
