#include "scan/VideoScanner.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "ScrivelCore/Errors.hpp"
#include "motion/FrameRegistration.hpp"
#include "common/HeapReuse.hpp"
#include "recognition/IncrementalRecognizer.hpp"
#include "decode/MediaInspector.hpp"
#include "recognition/OcrEngine.hpp"
#include "motion/SceneBoundaryDetector.hpp"
#include "scan/StageProfile.hpp"
#include "tracking/TrackingFrames.hpp"
#include "decode/VideoFrames.hpp"

namespace scrivel {

namespace {

constexpr double kRecognitionShare = 0.85;
// The registration raster is the tracker's kept picture too.
constexpr double kRegistrationDimensionPixels = TrackingFrames::dimensionPixels;
constexpr const char* kRecognizingMessage = "Recognizing text";
constexpr const char* kTrackingMessage = "Tracking text motion";

// One frame waiting for, or undergoing, recognition.
struct RecognitionJob {
    std::int64_t id = 0;
    Image raster;
    Image frame;
    VideoScanner::FrameContext context;
};

// Recognizes one job's frame; `stop` is the scan's cancellation.
using JobRecognizer =
    std::function<std::vector<DetectedRegion>(const RecognitionJob& job, const ScanSettings& settings, std::stop_token stop)>;

struct RecognitionOutcome {
    std::int64_t id = 0;
    std::vector<DetectedRegion> regions;
    std::exception_ptr error;
};

// The scan's recognition workers. The scan thread submits at most
// `capacity` jobs at a time and collects their outcomes in completion order.
// Destruction cancels what is queued or running and joins every worker, so
// no recognition outlives the scan, whatever way it ends.
class RecognitionPool {
public:
    RecognitionPool(int capacity, JobRecognizer recognizer, ScanSettings settings, std::stop_token scanStop)
        : recognizer_(std::move(recognizer)), settings_(std::move(settings)),
          forwardCancel_(std::move(scanStop), CancelForwarder{&abort_})
    {
        workers_.reserve(static_cast<std::size_t>(capacity));
        for (int i = 0; i < capacity; ++i)
            workers_.emplace_back([this](std::stop_token stop) { work(stop); });
    }

    ~RecognitionPool()
    {
        abort_.request_stop();
        for (auto& worker : workers_)
            worker.request_stop();
        {
            // Wakes workers blocked on an empty queue; their stop tokens end the wait.
            std::lock_guard lock(mutex_);
            jobs_.clear();
        }
        workers_.clear(); // joins
    }

    RecognitionPool(const RecognitionPool&) = delete;
    RecognitionPool& operator=(const RecognitionPool&) = delete;

    // Scan thread only.
    void submit(RecognitionJob job)
    {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        ++inFlight_;
        jobReady_.notify_one();
    }

    // Scan thread only; blocks until a submitted job has finished.
    RecognitionOutcome next()
    {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [&] { return !outcomes_.empty(); });
        RecognitionOutcome outcome = std::move(outcomes_.front());
        outcomes_.pop_front();
        --inFlight_;
        return outcome;
    }

    int inFlight() const { return inFlight_; }

private:
    struct CancelForwarder {
        std::stop_source* target;
        void operator()() const noexcept { target->request_stop(); }
    };

    void work(std::stop_token workerStop)
    {
        const StageProfile::Scope workerStage(ScanStage::other);
        const std::stop_token cancelled = abort_.get_token();
        for (;;) {
            RecognitionJob job;
            {
                std::unique_lock lock(mutex_);
                if (!jobReady_.wait(lock, workerStop, [&] { return !jobs_.empty(); }))
                    return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            RecognitionOutcome outcome{job.id, {}, nullptr};
            try {
                if (cancelled.stop_requested())
                    throw OperationCancelled();
                outcome.regions = recognizer_(job, settings_, cancelled);
                if (cancelled.stop_requested())
                    throw OperationCancelled();
            } catch (...) {
                outcome.regions.clear();
                outcome.error = std::current_exception();
            }
            job = {}; // the frame's pixels go before the outcome waits to be collected
            {
                std::lock_guard lock(mutex_);
                outcomes_.push_back(std::move(outcome));
            }
            finished_.notify_one();
        }
    }

    const JobRecognizer recognizer_;
    const ScanSettings settings_;
    std::stop_source abort_;
    std::stop_callback<CancelForwarder> forwardCancel_;
    std::mutex mutex_;
    std::condition_variable_any jobReady_;       // guarded by mutex_
    std::condition_variable finished_;           // guarded by mutex_
    std::deque<RecognitionJob> jobs_;            // guarded by mutex_
    std::deque<RecognitionOutcome> outcomes_;    // guarded by mutex_
    int inFlight_ = 0;                           // scan thread only
    std::vector<std::jthread> workers_;          // last: started after everything they use
};

// A frame's time and tracking scene, waiting for its recognized regions.
struct PendingSample {
    double time = 0;
    std::int64_t sceneID = 0;
};

// The state of one scan's recognition phase, on the scan thread.
class SampleCollector {
public:
    SampleCollector(std::int64_t estimatedFrames, const ScanProgressCallback& progress)
        : estimatedFrames_(estimatedFrames), progress_(progress)
    {
    }

    // A frame sent to recognition as job `id`.
    void expect(std::int64_t id, PendingSample sample)
    {
        waiting_[id].push_back(sample);
        latestJob_ = id;
        latestRegions_.reset();
    }

    // A frame whose recognition input equals that of the latest job: it takes
    // that job's regions, now if they are known, otherwise when they arrive.
    void reuseLatest(PendingSample sample)
    {
        if (latestRegions_)
            add(sample, *latestRegions_);
        else
            waiting_[latestJob_].push_back(sample);
    }

    void collect(RecognitionOutcome outcome)
    {
        if (outcome.error)
            std::rethrow_exception(outcome.error);
        auto found = waiting_.find(outcome.id);
        for (const PendingSample& sample : found->second)
            add(sample, outcome.regions);
        waiting_.erase(found);
        if (outcome.id == latestJob_)
            latestRegions_ = std::move(outcome.regions);
    }

    std::vector<DetectionSample> takeSamples() { return std::move(samples_); }

private:
    void add(const PendingSample& sample, const std::vector<DetectedRegion>& regions)
    {
        samples_.push_back(DetectionSample{sample.time, sample.sceneID, regions});
        regionTotal_ += static_cast<std::int64_t>(regions.size());
        const auto n = static_cast<std::int64_t>(samples_.size());
        if (progress_)
            progress_(ScanProgress{std::min(kRecognitionShare * static_cast<double>(n) / static_cast<double>(estimatedFrames_),
                                            kRecognitionShare),
                                   n, std::max(n, estimatedFrames_), regionTotal_, kRecognizingMessage});
    }

    std::int64_t estimatedFrames_;
    const ScanProgressCallback& progress_;
    std::map<std::int64_t, std::vector<PendingSample>> waiting_;
    std::int64_t latestJob_ = -1;
    // The latest job's regions once collected, for repeats of its frame.
    std::optional<std::vector<DetectedRegion>> latestRegions_;
    std::vector<DetectionSample> samples_;
    std::int64_t regionTotal_ = 0;
};

} // namespace

VideoScanner::VideoScanner(Recognizer recognizer, Tracker tracker, int maximumInFlight)
    : VideoScanner(std::move(recognizer), {}, std::move(tracker), maximumInFlight)
{
}

VideoScanner::VideoScanner(SequentialRecognizerFactory recognizers, Tracker tracker)
    : VideoScanner({}, std::move(recognizers), std::move(tracker), 1)
{
}

VideoScanner::VideoScanner(Recognizer recognizer, SequentialRecognizerFactory recognizers, Tracker tracker,
                           int maximumInFlight)
    : recognizer_(std::move(recognizer)), sequential_(std::move(recognizers)), tracker_(std::move(tracker)),
      maximumInFlight_(sequential_ ? 1 : std::clamp(maximumInFlight, 1, 4))
{
}

int VideoScanner::frameThreadsFor(unsigned processorCount)
{
    return static_cast<int>(std::clamp(processorCount, 1u, 4u));
}

int VideoScanner::maximumInFlightFor(unsigned processorCount)
{
    return static_cast<int>(std::clamp(processorCount / 2, 1u, 4u));
}

unsigned VideoScanner::defaultProcessorCount()
{
    return std::thread::hardware_concurrency();
}

std::int64_t VideoScanner::estimatedFrameCount(double durationSeconds, double nominalFrameRate)
{
    const double frames = std::ceil(durationSeconds * nominalFrameRate);
    if (!std::isfinite(frames) || frames < 1)
        return 1;
    return static_cast<std::int64_t>(frames);
}

ScanResult VideoScanner::scan(const std::filesystem::path& url, const ScanSettings& settings,
                              const ScanProgressCallback& progress, std::stop_token stop) const
{
    // Registration here and recognition on other threads both use OpenCV,
    // whose thread count must be fixed before either starts.
    OcrEngine::settleOpenCvThreads();
    const StageProfile::Scope scanStage(ScanStage::other);
    const HeapReuse heapReuse;
    // The inspector fails with noVideoTrack for a file without a video track
    // and for a duration that is not finite and positive.
    const VideoInfo info = MediaInspector::inspect(url);
    const std::int64_t estimatedFrames = estimatedFrameCount(info.duration, info.nominalFrameRate);
    const std::optional<double> recognitionDimension = maximumImageDimension(settings.quality);

    VideoFrames frames(url);
    // Kept only for a tracker to work on.
    std::optional<TrackingFrames> kept;
    if (tracker_)
        kept.emplace();
    SceneBoundaryDetector scenes;
    FrameRegistration registration;
    std::vector<std::optional<MotionTransform>> motions;
    SampleCollector collector(estimatedFrames, progress);
    std::vector<DetectionSample> samples;
    // Incremental recognition reads frames in order, one at a time, each
    // against the one before; full recognition reads several at once.
    const SequentialRecognizer sequential = sequential_ ? sequential_() : SequentialRecognizer{};
    JobRecognizer recognizeJob;
    if (sequential)
        recognizeJob = [&sequential](const RecognitionJob& job, const ScanSettings& s, std::stop_token jobStop) {
            return sequential(job.raster, job.frame, s, job.context, jobStop);
        };
    else
        recognizeJob = [this](const RecognitionJob& job, const ScanSettings& s, std::stop_token) {
            return recognizer_(job.raster, job.frame, s);
        };
    {
        // Declared last among the phase's state so that its workers are
        // stopped and joined before anything they might touch goes away.
        RecognitionPool pool(maximumInFlight_, std::move(recognizeJob), settings, stop);
        std::int64_t nextJob = 0;
        // The latest frame sent to recognition, with what the scan knew of it.
        Image previousFrame;
        std::int64_t previousInputScene = -1;
        FrameRegistration::Result previousRegistration;
        // The frame decoded last, whatever became of it, and its registration
        // raster: a frame repeating it bytewise has that raster too.
        Image lastDecoded;
        Image lastRegistrationRaster;

        for (;;) {
            std::optional<std::pair<double, Image>> decoded;
            {
                const StageProfile::Scope decoding(ScanStage::decodingScan);
                decoded = frames.next(stop);
            }
            if (!decoded)
                break;
            auto& [time, frame] = *decoded;
            // The registration raster serves scene detection too: a 64 × 36
            // thumbnail of it is the frame's own but for rounding, at a
            // fraction of the cost of averaging the whole frame down.
            const bool repeatsLastDecoded = !lastDecoded.empty() && sameBytes(frame, lastDecoded);
            Image registrationRaster;
            if (repeatsLastDecoded) {
                registrationRaster = lastRegistrationRaster;
            } else {
                const StageProfile::Scope scaling(ScanStage::scaling);
                registrationRaster = VideoFrames::raster(frame, kRegistrationDimensionPixels);
            }
            lastDecoded = frame;
            lastRegistrationRaster = registrationRaster;
            if (kept)
                kept->add(time, frame, [&] { return registrationRaster; }, repeatsLastDecoded);
            const StageProfile::Scope registering(ScanStage::registration);
            const std::int64_t inputScene = scenes.observe(registrationRaster);
            // Incremental recognition takes a frame that differs from the
            // latest one recognized by no more than coding noise (a still
            // screen, re-encoded) as that picture: same motion, same regions,
            // nothing registered or recognized. Comparing with the latest
            // recognized frame, not the previous one, keeps slow changes from
            // adding up unnoticed.
            if (sequential && !previousFrame.empty() && inputScene == previousInputScene &&
                IncrementalRecognizer::sameWithinNoise(frame.pixels, previousFrame.pixels)) {
                motions.push_back(previousRegistration.motion);
                collector.reuseLatest(PendingSample{time, previousRegistration.sceneID});
                continue;
            }
            const FrameRegistration::Result registered = registration.observe(registrationRaster, inputScene, stop);
            motions.push_back(registered.motion);
            const PendingSample pending{time, registered.sceneID};

            // Static stretches of a recording decode to identical frames;
            // recognizing them again would give the same regions.
            if (!previousFrame.empty() && sameBytes(frame, previousFrame)) {
                collector.reuseLatest(pending);
                continue;
            }
            Image raster;
            {
                const StageProfile::Scope scaling(ScanStage::scaling);
                raster = VideoFrames::raster(frame, recognitionDimension);
            }
            // In frame order, this frame waits for the previous one (decoded
            // while that one was being recognized).
            while (sequential && pool.inFlight() > 0)
                collector.collect(pool.next());
            const std::int64_t id = nextJob++;
            collector.expect(id, pending);
            previousFrame = frame;
            previousInputScene = inputScene;
            previousRegistration = registered;
            pool.submit(RecognitionJob{id, std::move(raster), std::move(frame), {registered.motion, registered.sceneID}});
            while (!sequential && pool.inFlight() >= maximumInFlight_)
                collector.collect(pool.next());
        }
        while (pool.inFlight() > 0)
            collector.collect(pool.next());
    }
    if (stop.stop_requested())
        throw OperationCancelled();
    samples = collector.takeSamples();
    if (samples.empty())
        throw VideoScanError::decodeFailed();

    std::stable_sort(samples.begin(), samples.end(),
                     [](const DetectionSample& a, const DetectionSample& b) { return a.time < b.time; });
    const auto resolvedMotions = FrameRegistration::resolved(motions, samples);
    std::vector<DetectionSample> tracked =
        tracker_ ? tracker_(*kept, samples, resolvedMotions, progress, stop) : std::move(samples);

    const auto n = static_cast<std::int64_t>(tracked.size());
    std::int64_t regionTotal = 0;
    for (const auto& sample : tracked)
        regionTotal += static_cast<std::int64_t>(sample.regions.size());
    if (progress)
        progress(ScanProgress{1.0, n, n, regionTotal, kTrackingMessage});

    ScanResult result;
    result.duration = info.duration;
    result.frameRate = static_cast<double>(n) / info.duration;
    result.sampleCount = n;
    result.totalRegions = regionTotal;
    result.samples = std::move(tracked);
    return result;
}

} // namespace scrivel
