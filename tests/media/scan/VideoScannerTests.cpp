#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ScrivelCore/Errors.hpp"
#include "decode/VideoFrames.hpp"
#include "scan/VideoScanner.hpp"
#include "support/ClipWriter.hpp"

#include <opencv2/imgproc.hpp>

using namespace scrivel;
using namespace scrivel::test;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
// A block in the top-left corner whose grey level tells a fake recognizer
// which picture it is looking at.
const cv::Rect kMarker{0, 0, 32, 32};
constexpr int kMarkerStep = 12;

// A screen-like picture: text lines (so that registration has texture)
// scrolled by a few pixels per frame, with the marker for `label`.
cv::Mat labelledFrame(const cv::Mat& page, int scroll, int label)
{
    cv::Mat frame = scrolledView(page, {kWidth, kHeight}, 0, scroll);
    frame(kMarker).setTo(cv::Scalar::all(kMarkerStep * label));
    return frame;
}

int labelOf(const Image& raster)
{
    const double scale = static_cast<double>(raster.width()) / kWidth;
    const cv::Rect inner(static_cast<int>(4 * scale), static_cast<int>(4 * scale), static_cast<int>(24 * scale),
                         static_cast<int>(24 * scale));
    return static_cast<int>(std::lround(cv::mean(raster.pixels(inner))[0] / kMarkerStep));
}

DetectedRegion regionLabelled(int label)
{
    DetectedRegion region;
    region.rect = {0.1, 0.1, 0.3, 0.05};
    region.confidence = 0.9F;
    region.text = "frame " + std::to_string(label);
    region.backgroundColor = 0xFFFFFF;
    return region;
}

// Stands in for the OCR engine: one region naming the picture's label.
// Counts calls and how many run at once.
struct FakeRecognizer {
    std::atomic<int> calls{0};
    std::atomic<int> running{0};
    std::atomic<int> mostRunning{0};
    std::function<void(int call, int label)> during = [](int, int) {};

    VideoScanner::Recognizer function()
    {
        return [this](const Image& raster, const Image& frame, const ScanSettings&) {
            EXPECT_FALSE(raster.empty());
            EXPECT_FALSE(frame.empty());
            const int call = calls++;
            const int now = ++running;
            int seen = mostRunning.load();
            while (now > seen && !mostRunning.compare_exchange_weak(seen, now)) {
            }
            struct Leaving {
                std::atomic<int>& running;
                ~Leaving() { --running; }
            } leaving{running};
            const int label = labelOf(raster);
            during(call, label);
            return std::vector<DetectedRegion>{regionLabelled(label)};
        };
    }
};

// Stands in for the mask tracker: keeps what it was given and returns the
// samples unchanged.
struct RecordingTracker {
    int calls = 0;
    std::vector<DetectionSample> samples;
    std::vector<std::optional<MotionTransform>> motions;

    VideoScanner::Tracker function()
    {
        return [this](const TrackingFrames&, const std::vector<DetectionSample>& given,
                      const std::vector<std::optional<MotionTransform>>& givenMotions, const ScanProgressCallback&,
                      std::stop_token) {
            ++calls;
            samples = given;
            motions = givenMotions;
            return given;
        };
    }
};

std::size_t threadCount()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// Rewrites the durations an MP4 file declares (movie, track, media headers
// and every sample's duration) to zero, as some broken recorders leave them.
void zeroDeclaredDurations(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    auto putZero = [&](std::size_t at, std::size_t width) {
        ASSERT_LE(at + width, bytes.size());
        for (std::size_t k = 0; k < width; ++k)
            bytes[at + k] = 0;
    };
    // Offsets from the box type to the duration field, for versions 0 and 1.
    struct Header {
        const char* type;
        std::size_t version0;
        std::size_t version1;
    };
    for (const Header h : {Header{"mvhd", 20, 24}, Header{"tkhd", 24, 28}, Header{"mdhd", 20, 24}}) {
        const std::size_t at = bytes.find(h.type);
        ASSERT_NE(at, std::string::npos) << h.type;
        const bool wide = bytes[at + 4] == 1;
        putZero(at + (wide ? h.version1 : h.version0), wide ? 8 : 4);
    }
    const std::size_t stts = bytes.find("stts");
    ASSERT_NE(stts, std::string::npos);
    const auto entries = static_cast<std::size_t>(static_cast<unsigned char>(bytes[stts + 11]));
    for (std::size_t k = 0; k < entries; ++k)
        putZero(stts + 12 + 8 * k + 4, 4);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

ClipSpec smallClip(int frameCount, double frameRate = 30)
{
    ClipSpec format;
    format.width = kWidth;
    format.height = kHeight;
    format.frameCount = frameCount;
    format.frameRate = frameRate;
    return format;
}

ScanSettings defaultSettings()
{
    ScanSettings settings;
    settings.quality = OCRQuality::fast;
    settings.confidence = 0.3F;
    settings.blurEmails = settings.blurPhones = settings.blurHan = true;
    return settings;
}

const cv::Mat& page()
{
    static const cv::Mat content = textPage(kWidth, 2000, 7);
    return content;
}

} // namespace

TEST(VideoScanner, ProcessorCountsGiveHalfTheProcessorsOneToFour)
{
    struct Case {
        unsigned processors;
        int inFlight;
    };
    for (const Case c : {Case{0, 1}, Case{1, 1}, Case{2, 1}, Case{3, 1}, Case{6, 3}, Case{8, 4}, Case{16, 4},
                         Case{128, 4}}) {
        EXPECT_EQ(VideoScanner::maximumInFlightFor(c.processors), c.inFlight) << c.processors << " processors";
    }
}

TEST(VideoScanner, EstimatedFrameCountRoundsUpAndIsAtLeastOne)
{
    struct Case {
        double duration;
        double rate;
        std::int64_t frames;
    };
    for (const Case c : {Case{2.0, 30, 60}, Case{10.01, 29.97, 300}, Case{1.0, 0, 1}, Case{0.01, 24, 1},
                         Case{2.5, 25, 63}}) {
        EXPECT_EQ(VideoScanner::estimatedFrameCount(c.duration, c.rate), c.frames) << c.duration << " s at " << c.rate;
    }
}

// Every decoded frame becomes one sample, at the frame's time, with the
// tracking scene; a hard cut starts the next scene.
TEST(VideoScanner, OneSamplePerFrameWithItsTimeSceneAndRegions)
{
    constexpr int kFrames = 60;
    constexpr int kCut = 36;
    TemporaryFile clip(".mp4");
    const cv::Mat otherPage = textPage(kWidth, 2000, 99, 40);
    writeClip(clip.path, smallClip(kFrames), withCuts({kCut}, {
        [](int i) { return labelledFrame(page(), 3 * i, i % 20); },
        [&](int i) {
            cv::Mat frame = labelledFrame(otherPage, 2 * i, (kCut + i) % 20);
            cv::Mat inverted;
            cv::bitwise_not(frame, inverted); // light text on dark: a wholesale change
            inverted(kMarker).setTo(cv::Scalar::all(kMarkerStep * ((kCut + i) % 20)));
            return inverted;
        },
    }));

    FakeRecognizer recognizer;
    RecordingTracker tracker;
    std::vector<ScanProgress> progress;
    const VideoScanner scanner(recognizer.function(), tracker.function(), 2);
    const ScanResult result =
        scanner.scan(clip.path, defaultSettings(), [&](const ScanProgress& p) { progress.push_back(p); });

    ASSERT_EQ(result.samples.size(), static_cast<std::size_t>(kFrames));
    EXPECT_EQ(result.sampleCount, kFrames);
    EXPECT_NEAR(result.duration, 2.0, 0.05);
    EXPECT_DOUBLE_EQ(result.frameRate, kFrames / result.duration);
    EXPECT_EQ(result.totalRegions, kFrames);
    EXPECT_EQ(tracker.calls, 1);
    EXPECT_EQ(tracker.motions.size(), static_cast<std::size_t>(kFrames));
    EXPECT_EQ(recognizer.calls.load(), kFrames);
    for (int i = 0; i < kFrames; ++i) {
        SCOPED_TRACE(i);
        const DetectionSample& sample = result.samples[static_cast<std::size_t>(i)];
        EXPECT_NEAR(sample.time, i / 30.0, 1e-6);
        EXPECT_EQ(sample.sceneID, i < kCut ? 0 : 1);
        ASSERT_EQ(sample.regions.size(), 1u);
        EXPECT_EQ(sample.regions[0].text, "frame " + std::to_string(i % 20));
    }
    // The first frame of each scene is its anchor; a gentle scroll is measured.
    ASSERT_TRUE(tracker.motions[0].has_value());
    ASSERT_TRUE(tracker.motions[kCut].has_value());
    EXPECT_EQ(*tracker.motions[kCut], MotionTransform::identity());

    // Recognition reports every sample against the estimate, then the end.
    ASSERT_EQ(progress.size(), static_cast<std::size_t>(kFrames + 1));
    for (int n = 1; n <= kFrames; ++n) {
        const ScanProgress& p = progress[static_cast<std::size_t>(n - 1)];
        EXPECT_EQ(p.message, "Recognizing text");
        EXPECT_EQ(p.processed, n);
        EXPECT_EQ(p.total, kFrames);
        EXPECT_EQ(p.regions, n);
        EXPECT_NEAR(p.progress, 0.85 * n / kFrames, 1e-12);
    }
    EXPECT_EQ(progress.back(), (ScanProgress{1.0, kFrames, kFrames, kFrames, "Tracking text motion"}));

    // Without a tracker the scan's own readings are the result.
    const ScanResult untracked = VideoScanner(recognizer.function(), VideoScanner::Tracker(), 2)
                                     .scan(clip.path, defaultSettings(), {});
    EXPECT_EQ(untracked.samples, result.samples);
}

// Frames that finish recognition out of order are paired with their own
// times and handed on sorted; no more recognitions run at once than allowed.
TEST(VideoScanner, SamplesFinishingOutOfOrderEndUpSortedByTime)
{
    constexpr int kFrames = 16;
    TemporaryFile clip(".mp4");
    writeClip(clip.path, smallClip(kFrames), [](int i) { return labelledFrame(page(), 4 * i, i); });

    for (int inFlight : {1, 3, 4}) {
        SCOPED_TRACE(inFlight);
        FakeRecognizer recognizer;
        std::mutex orderLock;
        std::vector<int> finished;
        // Every third frame is slow, so the frames submitted after it overtake it.
        recognizer.during = [&](int, int label) {
            std::this_thread::sleep_for(std::chrono::milliseconds(label % 3 == 0 ? 60 : 2));
            std::lock_guard lock(orderLock);
            finished.push_back(label);
        };
        RecordingTracker tracker;
        const VideoScanner scanner(recognizer.function(), tracker.function(), inFlight);
        std::vector<std::int64_t> processed;
        const ScanResult result =
            scanner.scan(clip.path, defaultSettings(), [&](const ScanProgress& p) { processed.push_back(p.processed); });

        EXPECT_LE(recognizer.mostRunning.load(), inFlight);
        if (inFlight > 1) {
            EXPECT_FALSE(std::is_sorted(finished.begin(), finished.end())) << "the slow frames were not overtaken";
        }
        ASSERT_EQ(tracker.samples.size(), static_cast<std::size_t>(kFrames));
        for (int i = 0; i < kFrames; ++i) {
            EXPECT_NEAR(tracker.samples[static_cast<std::size_t>(i)].time, i / 30.0, 1e-6);
            ASSERT_EQ(tracker.samples[static_cast<std::size_t>(i)].regions.size(), 1u);
            EXPECT_EQ(tracker.samples[static_cast<std::size_t>(i)].regions[0].text, "frame " + std::to_string(i));
        }
        EXPECT_EQ(result.samples, tracker.samples);
        // processed counts up one by one whatever order samples arrive in.
        for (std::size_t k = 0; k + 1 < processed.size(); ++k)
            EXPECT_EQ(processed[k], static_cast<std::int64_t>(k + 1));
    }
}

// Runs of identical frames (a static screen) are recognized once; the
// repeats carry the regions of the first frame of their run.
TEST(VideoScanner, IdenticalFramesAreRecognizedOnce)
{
    // Picture shown at each frame: four runs, the last returning to the first picture.
    const std::vector<int> pictures{0, 0, 0, 0, 1, 1, 2, 2, 2, 2, 2, 2, 0, 0, 0, 3};
    constexpr int kDistinctRuns = 5;
    TemporaryFile clip(".mp4");
    ClipSpec format = smallClip(static_cast<int>(pictures.size()));
    format.h264Crf = 0; // lossless: a repeated picture decodes to the same bytes
    format.gopSize = 100;
    writeClip(clip.path, format, [&](int i) {
        const int picture = pictures[static_cast<std::size_t>(i)];
        return labelledFrame(page(), 40 * picture, picture + 1);
    });

    for (int inFlight : {1, 4}) {
        SCOPED_TRACE(inFlight);
        FakeRecognizer recognizer;
        // Slow recognitions keep a run's first frame in flight while its repeats are decoded.
        recognizer.during = [](int, int) { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
        RecordingTracker tracker;
        const VideoScanner scanner(recognizer.function(), tracker.function(), inFlight);
        const ScanResult result = scanner.scan(clip.path, defaultSettings(), {});

        EXPECT_EQ(recognizer.calls.load(), kDistinctRuns);
        ASSERT_EQ(result.samples.size(), pictures.size());
        EXPECT_EQ(result.totalRegions, static_cast<std::int64_t>(pictures.size()));
        for (std::size_t i = 0; i < pictures.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_NEAR(result.samples[i].time, static_cast<double>(i) / 30.0, 1e-6);
            ASSERT_EQ(result.samples[i].regions.size(), 1u);
            EXPECT_EQ(result.samples[i].regions[0].text, "frame " + std::to_string(pictures[i] + 1));
        }
    }
}

TEST(VideoScanner, CancellingDuringRecognitionEndsWithCancellationAndNoThreadLeft)
{
    constexpr int kFrames = 30;
    TemporaryFile clip(".mp4");
    writeClip(clip.path, smallClip(kFrames), [](int i) { return labelledFrame(page(), 5 * i, i % 20); });

    {
        // Libraries start their own thread pools on first use and keep them;
        // let them do so before threads are counted.
        FakeRecognizer recognizer;
        RecordingTracker tracker;
        VideoScanner(recognizer.function(), tracker.function(), 4).scan(clip.path, defaultSettings(), {});
    }
    for (int inFlight : {1, 4}) {
        SCOPED_TRACE(inFlight);
        const std::size_t threadsBefore = threadCount();
        std::stop_source stop;
        FakeRecognizer recognizer;
        std::atomic<int> afterCancel{0};
        recognizer.during = [&](int call, int) {
            if (stop.stop_requested())
                ++afterCancel;
            if (call == 5)
                stop.request_stop(); // as the user's cancel arrives mid-recognition
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        };
        RecordingTracker tracker;
        const VideoScanner scanner(recognizer.function(), tracker.function(), inFlight);
        std::vector<ScanProgress> progress;
        try {
            scanner.scan(clip.path, defaultSettings(), [&](const ScanProgress& p) { progress.push_back(p); },
                         stop.get_token());
            FAIL() << "the scan finished despite the cancellation";
        } catch (const OperationCancelled& error) {
            EXPECT_STREQ(error.what(), "Operation cancelled.");
        }
        EXPECT_EQ(recognizer.running.load(), 0);
        EXPECT_EQ(threadCount(), threadsBefore);
        EXPECT_EQ(tracker.calls, 0);
        // Recognitions already running may finish; no new frame is started
        // beyond those that were queued when the cancel came.
        EXPECT_LE(afterCancel.load(), inFlight - 1);
        EXPECT_LT(recognizer.calls.load(), kFrames);
        for (const auto& p : progress)
            EXPECT_EQ(p.message, "Recognizing text");
    }
}

// A failing recognition ends the scan with its own error once the other
// workers have stopped.
TEST(VideoScanner, RecognitionErrorEndsTheScanAfterEveryWorkerStopped)
{
    constexpr int kFrames = 20;
    TemporaryFile clip(".mp4");
    writeClip(clip.path, smallClip(kFrames), [](int i) { return labelledFrame(page(), 5 * i, i % 20); });

    {
        FakeRecognizer recognizer;
        RecordingTracker tracker;
        VideoScanner(recognizer.function(), tracker.function(), 4).scan(clip.path, defaultSettings(), {});
    }
    for (int inFlight : {1, 4}) {
        SCOPED_TRACE(inFlight);
        const std::size_t threadsBefore = threadCount();
        FakeRecognizer recognizer;
        recognizer.during = [](int call, int) {
            std::this_thread::sleep_for(std::chrono::milliseconds(call == 6 ? 1 : 30));
            if (call == 6)
                throw PlatformError("engine failed");
        };
        RecordingTracker tracker;
        const VideoScanner scanner(recognizer.function(), tracker.function(), inFlight);
        try {
            scanner.scan(clip.path, defaultSettings(), {});
            FAIL() << "the scan finished despite the failing recognition";
        } catch (const PlatformError& error) {
            EXPECT_STREQ(error.what(), "engine failed");
        }
        EXPECT_EQ(recognizer.running.load(), 0);
        EXPECT_EQ(threadCount(), threadsBefore);
        EXPECT_EQ(tracker.calls, 0);
    }
}

TEST(VideoScanner, TrackerFailureIsTheScansFailure)
{
    TemporaryFile clip(".mp4");
    writeClip(clip.path, smallClip(4), [](int i) { return labelledFrame(page(), 5 * i, i); });
    FakeRecognizer recognizer;
    const VideoScanner scanner(recognizer.function(),
                               [](auto&&...) -> std::vector<DetectionSample> { throw VideoScanError::decodeFailed(); });
    EXPECT_THROW(scanner.scan(clip.path, defaultSettings(), {}), VideoScanError);
}

TEST(VideoScanner, CancelledBeforeStartingDecodesNothing)
{
    TemporaryFile clip(".mp4");
    writeClip(clip.path, smallClip(4), [](int i) { return labelledFrame(page(), 5 * i, i); });
    FakeRecognizer recognizer;
    RecordingTracker tracker;
    std::stop_source stop;
    stop.request_stop();
    const VideoScanner scanner(recognizer.function(), tracker.function());
    EXPECT_THROW(scanner.scan(clip.path, defaultSettings(), {}, stop.get_token()), OperationCancelled);
    EXPECT_EQ(recognizer.calls.load(), 0);
}

TEST(VideoScanner, FilesWithoutAVideoTrackOrDurationFailBeforeRecognition)
{
    TemporaryFile audioOnly(".mp4");
    writeAudioOnlyClip(audioOnly.path, 0.5);
    TemporaryFile text(".mp4");
    std::ofstream(text.path) << "not a video\n";
    TemporaryFile zeroDuration(".mp4");
    ClipSpec oneFrame = smallClip(1);
    oneFrame.maxBFrames = 0;
    writeClip(zeroDuration.path, oneFrame, [](int) { return labelledFrame(page(), 0, 1); });
    zeroDeclaredDurations(zeroDuration.path);
    {
        // Still a readable video: it is the duration that is refused.
        VideoFrames frames(zeroDuration.path);
        EXPECT_TRUE(frames.next().has_value());
    }

    for (const auto* path : {&audioOnly.path, &text.path, &zeroDuration.path}) {
        SCOPED_TRACE(path->string());
        FakeRecognizer recognizer;
        RecordingTracker tracker;
        const VideoScanner scanner(recognizer.function(), tracker.function());
        try {
            scanner.scan(*path, defaultSettings(), {});
            ADD_FAILURE() << "scanned a file without video";
        } catch (const ScrivelError& error) {
            EXPECT_EQ(error.code(), ScrivelError::Code::noVideoTrack);
            EXPECT_STREQ(error.what(), "The selected file does not contain a readable video track.");
        }
        EXPECT_EQ(recognizer.calls.load(), 0);
        EXPECT_EQ(tracker.calls, 0);
    }
}

// The quality decides the size recognition sees; the full frame goes along.
TEST(VideoScanner, QualityChoosesTheRecognitionRasterSize)
{
    TemporaryFile clip(".mp4");
    ClipSpec format = smallClip(2);
    format.width = 2560;
    format.height = 1440;
    writeClip(clip.path, format, [](int i) { return flatFrame({2560, 1440}, cv::Scalar::all(40 * i)); });

    struct Case {
        OCRQuality quality;
        cv::Size raster;
    };
    for (const Case c : {Case{OCRQuality::fast, {1280, 720}}, Case{OCRQuality::balanced, {2200, 1238}},
                         Case{OCRQuality::precise, {2560, 1440}}}) {
        std::mutex lock;
        std::vector<std::pair<cv::Size, cv::Size>> sizes;
        RecordingTracker tracker;
        const VideoScanner scanner(
            [&](const Image& raster, const Image& frame, const ScanSettings&) {
                std::lock_guard guard(lock);
                sizes.emplace_back(raster.pixels.size(), frame.pixels.size());
                return std::vector<DetectedRegion>{};
            },
            tracker.function());
        ScanSettings settings = defaultSettings();
        settings.quality = c.quality;
        scanner.scan(clip.path, settings, {});
        ASSERT_EQ(sizes.size(), 2u);
        for (const auto& [raster, frame] : sizes) {
            EXPECT_EQ(raster, c.raster);
            EXPECT_EQ(frame, cv::Size(2560, 1440));
        }
    }
}

// The whole scan with the real registration and mask tracker: a line that
// recognition misses on a few frames of a scroll keeps its mask there.
TEST(VideoScanner, TrackerCarriesAScrolledLineOverFramesRecognitionMissed)
{
    constexpr int kFrames = 24;
    constexpr int kScroll = 4;
    const std::string email = "user@example.com";
    cv::Mat content = textPage(kWidth, 800, 3);
    content(cv::Rect(0, 128, kWidth, 34)).setTo(cv::Scalar::all(255));
    const TextItem item{email, {30, 152}, 0.7, {0, 0, 0}, 2};
    int baseline = 0;
    const cv::Size size = cv::getTextSize(email, cv::FONT_HERSHEY_SIMPLEX, item.fontScale, item.thickness, &baseline);
    const cv::Rect onPage(item.origin.x - 2, item.origin.y - size.height - 3, size.width + 4, size.height + baseline + 4);
    cv::putText(content, email, item.origin, cv::FONT_HERSHEY_SIMPLEX, item.fontScale, item.colour, item.thickness,
                cv::LINE_AA);
    auto expected = [&](int frame) {
        return NormalizedRect{static_cast<double>(onPage.x) / kWidth,
                              static_cast<double>(onPage.y - kScroll * frame) / kHeight,
                              static_cast<double>(onPage.width) / kWidth, static_cast<double>(onPage.height) / kHeight};
    };
    TemporaryFile clip(".mp4");
    writeClip(clip.path, smallClip(kFrames), [&](int i) { return scrolledView(content, {kWidth, kHeight}, 0, kScroll * i); });

    const std::vector<int> missed{9, 10, 11};
    std::atomic<int> calls{0};
    // One recognition at a time, so call k reads frame k (no frame repeats).
    const VideoScanner scanner(
        [&](const Image&, const Image&, const ScanSettings&) {
            const int frame = calls++;
            if (std::find(missed.begin(), missed.end(), frame) != missed.end())
                return std::vector<DetectedRegion>{};
            DetectedRegion region;
            region.rect = expected(frame);
            region.confidence = 0.95F;
            region.text = email;
            region.selections = {{{0, 0, 1, 1}, RedactionKind::email, email}};
            region.backgroundColor = 0xFFFFFF;
            return std::vector<DetectedRegion>{region};
        },
        [&](const TrackingFrames& frames, const std::vector<DetectionSample>& samples,
            const std::vector<std::optional<MotionTransform>>& motions, const ScanProgressCallback& progress,
            std::stop_token stop) {
            std::vector<DetectionSample> tracked = VideoMaskTracker().track(frames, samples, motions, progress, stop);
            // The frames the scan kept serve the tracker exactly as decoding
            // the file again would.
            EXPECT_EQ(tracked, VideoMaskTracker().track(clip.path.string(), samples, motions, {}, stop));
            return tracked;
        },
        1);
    std::vector<std::string> phases;
    const ScanResult result = scanner.scan(clip.path, defaultSettings(), [&](const ScanProgress& p) {
        if (phases.empty() || phases.back() != p.message)
            phases.push_back(p.message);
    });

    EXPECT_EQ(calls.load(), kFrames);
    EXPECT_EQ(phases, (std::vector<std::string>{"Recognizing text", "Building text references", "Tracking text motion"}));
    ASSERT_EQ(result.samples.size(), static_cast<std::size_t>(kFrames));
    EXPECT_EQ(result.sampleCount, kFrames);
    for (int i = 0; i < kFrames; ++i) {
        SCOPED_TRACE(i);
        const DetectionSample& sample = result.samples[static_cast<std::size_t>(i)];
        EXPECT_NEAR(sample.time, i / 30.0, 1e-6);
        EXPECT_EQ(sample.sceneID, 0);
        const auto found = std::find_if(sample.regions.begin(), sample.regions.end(),
                                        [&](const DetectedRegion& r) { return r.text == email; });
        ASSERT_NE(found, sample.regions.end());
        ASSERT_FALSE(found->maskRects().empty());
        EXPECT_GE(found->trackID, 1);
        EXPECT_NEAR(found->rect.y, expected(i).y, 0.02);
        EXPECT_NEAR(found->rect.x, expected(i).x, 0.02);
    }
}

namespace {

// Stands in for an incremental recognizer: one per scan, called in frame
// order, never twice at once; remembers the labels and contexts it saw.
struct FakeSequentialRecognizers {
    std::atomic<int> made{0};
    std::atomic<int> running{0};
    std::atomic<int> mostRunning{0};
    std::mutex lock;
    std::vector<std::vector<int>> labelsPerScan;
    std::vector<VideoScanner::FrameContext> contexts;
    std::function<void(int call)> during = [](int) {};

    VideoScanner::SequentialRecognizerFactory factory()
    {
        return [this] {
            const int scan = made++;
            {
                std::lock_guard guard(lock);
                labelsPerScan.emplace_back();
            }
            return [this, scan, call = 0](const Image& raster, const Image& frame, const ScanSettings&,
                                          const VideoScanner::FrameContext& context, std::stop_token) mutable {
                EXPECT_FALSE(frame.empty());
                const int now = ++running;
                mostRunning = std::max(mostRunning.load(), now);
                std::this_thread::sleep_for(std::chrono::milliseconds(3)); // lets overlapping calls show
                const int label = labelOf(raster);
                {
                    std::lock_guard guard(lock);
                    labelsPerScan[static_cast<std::size_t>(scan)].push_back(label);
                    contexts.push_back(context);
                }
                during(call++);
                --running;
                return std::vector<DetectedRegion>{regionLabelled(label)};
            };
        };
    }
};

} // namespace

// Incremental recognition reads the frames of a scan in order, one at a
// time, with the registration's motion and scene, by a recognizer made
// afresh for each scan; every frame still becomes its own sample.
TEST(VideoScanner, IncrementalRecognitionReadsFramesInOrderWithTheirMotion)
{
    constexpr int kFrames = 20;
    constexpr int kCut = 12;
    TemporaryFile clip(".mp4");
    const cv::Mat otherPage = textPage(kWidth, 2000, 99, 40);
    writeClip(clip.path, smallClip(kFrames), withCuts({kCut}, {
        [](int i) { return labelledFrame(page(), 3 * i, i); },
        [&](int i) {
            cv::Mat inverted;
            cv::bitwise_not(labelledFrame(otherPage, 2 * i, 0), inverted);
            inverted(kMarker).setTo(cv::Scalar::all(kMarkerStep * (kCut + i)));
            return inverted;
        },
    }));

    FakeSequentialRecognizers recognizers;
    RecordingTracker tracker;
    const VideoScanner scanner(recognizers.factory(), tracker.function());
    ASSERT_TRUE(scanner.recognizesIncrementally());
    for (int scan = 0; scan < 2; ++scan) {
        SCOPED_TRACE(scan);
        const ScanResult result = scanner.scan(clip.path, defaultSettings(), {});
        ASSERT_EQ(result.samples.size(), static_cast<std::size_t>(kFrames));
        for (int i = 0; i < kFrames; ++i) {
            ASSERT_EQ(result.samples[static_cast<std::size_t>(i)].regions.size(), 1u);
            EXPECT_EQ(result.samples[static_cast<std::size_t>(i)].regions[0].text, "frame " + std::to_string(i));
        }
    }
    EXPECT_EQ(recognizers.made.load(), 2);
    EXPECT_EQ(recognizers.mostRunning.load(), 1);
    std::vector<int> inOrder(kFrames);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    EXPECT_EQ(recognizers.labelsPerScan[0], inOrder);
    EXPECT_EQ(recognizers.labelsPerScan[1], inOrder);
    // The frames' contexts are the registration's: scene 0 scrolling, then scene 1.
    ASSERT_EQ(recognizers.contexts.size(), 2u * kFrames);
    for (int i = 0; i < kFrames; ++i) {
        SCOPED_TRACE(i);
        const auto& context = recognizers.contexts[static_cast<std::size_t>(i)];
        EXPECT_EQ(context.sceneID, i < kCut ? 0 : 1);
        // A measured motion is handed on unchanged; only gaps are filled later.
        if (context.motion) {
            EXPECT_EQ(context.motion, tracker.motions[static_cast<std::size_t>(i)]);
        }
    }
    ASSERT_TRUE(recognizers.contexts[3].motion.has_value());
    EXPECT_LT(recognizers.contexts[3].motion->ty(), 0); // the page scrolls up
}

// A still screen re-encoded flickers by a few levels: incremental
// recognition takes such frames as the picture last recognized. A change
// made in steps each below that noise still adds up against the frame last
// recognized, and is recognized once it exceeds it.
TEST(VideoScanner, IncrementalRecognitionSkipsCodingNoiseButNotChangesThatAddUp)
{
    // Marker level per frame: still (with noise), then a fade in steps of 9.
    const std::vector<int> levels{0, 0, 0, 0, 9, 18, 27, 36, 45, 54, 63, 72};
    TemporaryFile clip(".mp4");
    ClipSpec format = smallClip(static_cast<int>(levels.size()));
    format.h264Crf = 0;
    format.gopSize = 100;
    cv::RNG random(11);
    writeClip(clip.path, format, [&](int i) {
        cv::Mat frame = labelledFrame(page(), 0, 0);
        cv::Mat noise(frame.size(), CV_16S);
        random.fill(noise, cv::RNG::UNIFORM, -5, 6);
        std::vector<cv::Mat> channels(3);
        cv::split(frame, channels);
        for (cv::Mat& channel : channels) { // grey noise: it survives the colour subsampling as it is
            channel.convertTo(channel, CV_16S);
            channel += noise;
            channel.convertTo(channel, CV_8U);
        }
        cv::merge(channels, frame);
        frame(kMarker).setTo(cv::Scalar::all(levels[static_cast<std::size_t>(i)]));
        return frame;
    });

    FakeSequentialRecognizers recognizers;
    RecordingTracker tracker;
    const VideoScanner scanner(recognizers.factory(), tracker.function());
    const ScanResult result = scanner.scan(clip.path, defaultSettings(), {});
    ASSERT_EQ(result.samples.size(), levels.size());
    // Recognized: the first frame, and the fade at 27 and 54 (27 beyond each).
    ASSERT_EQ(recognizers.labelsPerScan.size(), 1u);
    EXPECT_EQ(recognizers.labelsPerScan[0].size(), 3u);
    const auto textOf = [&](std::size_t i) {
        return result.samples[i].regions.empty() ? std::string() : result.samples[i].regions[0].text;
    };
    for (std::size_t i = 0; i < levels.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(textOf(i), textOf(i < 6 ? 0 : i < 9 ? 6 : 9));
    }
    EXPECT_NE(textOf(0), textOf(6));
    EXPECT_NE(textOf(6), textOf(9));
    // Frames taken as the picture last recognized carry its motion.
    ASSERT_EQ(tracker.motions.size(), levels.size());
    EXPECT_EQ(tracker.motions[3], tracker.motions[0]);
}

TEST(VideoScanner, CancellingAnIncrementalScanLeavesNoThread)
{
    TemporaryFile clip(".mp4");
    writeClip(clip.path, smallClip(12), [](int i) { return labelledFrame(page(), 4 * i, i); });
    {
        // Libraries' own thread pools start on first use and stay.
        FakeSequentialRecognizers warmUp;
        RecordingTracker tracker;
        VideoScanner(warmUp.factory(), tracker.function()).scan(clip.path, defaultSettings(), {});
    }
    const std::size_t threadsBefore = threadCount();
    std::stop_source stop;
    FakeSequentialRecognizers recognizers;
    recognizers.during = [&](int call) {
        if (call == 3)
            stop.request_stop();
    };
    RecordingTracker tracker;
    const VideoScanner scanner(recognizers.factory(), tracker.function());
    EXPECT_THROW(scanner.scan(clip.path, defaultSettings(), {}, stop.get_token()), OperationCancelled);
    EXPECT_EQ(tracker.calls, 0);
    EXPECT_LE(recognizers.labelsPerScan[0].size(), 5u);
    EXPECT_EQ(threadCount(), threadsBefore);
}
