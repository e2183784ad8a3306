// Development tool for studying what a scan's masks leave uncovered. Runs
// the product's scan of one clip with every kind on (plus the clip's custom
// terms), but keeps each frame's OCR engine output (lines, boxes, character
// spans) in a cache file keyed by the recognition raster's bytes, so that a
// rerun spends its time only on registration, filtering and tracking.
//
// usage: LeakStudy CLIP.mp4 --quality fast|balanced|precise --cache DIR --out DIR
//        [--incremental 1] [--track-only 1] [--motions-only 1] [--frame N]
// --incremental 1 runs the product's incremental recognition instead (not
// cached); --track-only 1 tracks the raw result and motions in --out again.
//
// Writes into --out: <clip>.<quality>.raw.json (the per-frame recognition
// before tracking, as a scan result, for score_masks.py: what recognition
// saw), <clip>.<quality>.json (the tracked result) and
// <clip>.<quality>.motions.json (motion and tracking scene per frame).

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "ScrivelCore/Json.hpp"
#include "motion/FrameRegistration.hpp"
#include "recognition/IncrementalRecognizer.hpp"
#include "recognition/OcrEngine.hpp"
#include "motion/SceneBoundaryDetector.hpp"
#include "recognition/TextRecognizer.hpp"
#include "decode/VideoFrames.hpp"
#include "tracking/VideoMaskTracker.hpp"
#include "scan/VideoScanner.hpp"

namespace fs = std::filesystem;
using namespace scrivel;

namespace {

std::uint64_t fingerprint(const Image& image)
{
    std::uint64_t hash = 1469598103934665603ULL;
    const auto mix = [&](std::uint64_t value) {
        hash ^= value;
        hash *= 1099511628211ULL;
    };
    mix(static_cast<std::uint64_t>(image.width()));
    mix(static_cast<std::uint64_t>(image.height()));
    const cv::Mat& pixels = image.pixels;
    const std::size_t rowBytes = static_cast<std::size_t>(pixels.cols) * pixels.elemSize();
    for (int row = 0; row < pixels.rows; ++row) {
        const unsigned char* bytes = pixels.ptr(row);
        for (std::size_t i = 0; i + 8 <= rowBytes; i += 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, bytes + i, 8);
            mix(word);
        }
    }
    return hash;
}

// Each frame's engine lines, in a text file: one record per frame.
class LineCache {
public:
    explicit LineCache(fs::path path) : path_(std::move(path))
    {
        std::ifstream in(path_);
        std::string tag;
        while (in >> tag && tag == "F") {
            std::uint64_t key = 0;
            std::size_t count = 0;
            in >> key >> count;
            std::vector<OcrLine> lines;
            for (std::size_t i = 0; i < count; ++i) {
                double confidence = 0, margin = 0;
                ObservationBox box;
                std::size_t characters = 0, bytes = 0;
                in >> confidence >> box.x >> box.y >> box.width >> box.height >> margin >> characters;
                std::vector<OcrLine::CharacterSpan> spans(characters);
                for (auto& span : spans)
                    in >> span.left >> span.right >> span.whitespace;
                in >> bytes;
                in.get();
                std::string text(bytes, '\0');
                in.read(text.data(), static_cast<std::streamsize>(bytes));
                lines.emplace_back(RecognizedText{text, static_cast<float>(confidence)}, box, std::move(spans), margin);
            }
            if (!in)
                break;
            entries_.emplace(key, std::move(lines));
        }
        std::fprintf(stderr, "cache %s: %zu frames\n", path_.c_str(), entries_.size());
    }

    std::optional<std::vector<OcrLine>> find(std::uint64_t key) const
    {
        std::lock_guard lock(mutex_);
        const auto found = entries_.find(key);
        if (found == entries_.end())
            return std::nullopt;
        return found->second;
    }

    void store(std::uint64_t key, const std::vector<OcrLine>& lines)
    {
        std::ostringstream out;
        out.precision(17);
        out << "F " << key << ' ' << lines.size() << '\n';
        for (const OcrLine& line : lines) {
            const ObservationBox box = line.boundingBox();
            out << line.reading().confidence << ' ' << box.x << ' ' << box.y << ' ' << box.width << ' '
                << box.height << ' ' << line.marginWidth() << ' ' << line.characters().size();
            for (const auto& span : line.characters())
                out << ' ' << span.left << ' ' << span.right << ' ' << span.whitespace;
            out << ' ' << line.reading().string.size() << ' ' << line.reading().string << '\n';
        }
        std::lock_guard lock(mutex_);
        entries_.emplace(key, lines);
        std::ofstream(path_, std::ios::app) << out.str();
    }

private:
    fs::path path_;
    mutable std::mutex mutex_;
    std::map<std::uint64_t, std::vector<OcrLine>> entries_;
};

std::vector<std::string> customTerms(const fs::path& clip)
{
    fs::path truth = clip;
    truth.replace_extension(".gt.json");
    std::ifstream file(truth);
    if (!file)
        return {};
    const Json json = Json::parse(std::string(std::istreambuf_iterator<char>(file), {}));
    return json.value("customTerms", std::vector<std::string>{});
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: LeakStudy CLIP --quality Q --cache DIR --out DIR\n");
        return 2;
    }
    const fs::path clip = argv[1];
    std::string quality = "fast";
    fs::path cacheDir = "leak-cache", outDir = "leak-out";
    bool motionsOnly = false; // --motions-only 1: registration alone, written to <clip>.motions.json
    long frameToShow = -1; // --frame N: print frame N's engine lines and regions, nothing else
    bool incremental = false; // --incremental 1: the product's incremental recognition, not cached
    bool trackOnly = false;   // --track-only 1: track <clip>.raw.json with <clip>.motions.json from --out again
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--quality")
            quality = argv[i + 1];
        else if (option == "--cache")
            cacheDir = argv[i + 1];
        else if (option == "--out")
            outDir = argv[i + 1];
        else if (option == "--motions-only")
            motionsOnly = std::string(argv[i + 1]) == "1";
        else if (option == "--frame")
            frameToShow = std::stol(argv[i + 1]);
        else if (option == "--incremental")
            incremental = std::string(argv[i + 1]) == "1";
        else if (option == "--track-only")
            trackOnly = std::string(argv[i + 1]) == "1";
    }
    fs::create_directories(cacheDir);
    fs::create_directories(outDir);
    const std::string name = clip.stem().string() + "." + quality + (incremental ? ".incremental" : "");

    ScanSettings settings;
    settings.quality = quality == "precise" ? OCRQuality::precise
                       : quality == "balanced" ? OCRQuality::balanced
                                               : OCRQuality::fast;
    settings.confidence = 0.3F;
    settings.blurHan = settings.blurEmails = settings.blurPhones = true;
    settings.customTerms = customTerms(clip);

    LineCache cache(cacheDir / (name + ".ocr"));
    std::shared_ptr<const OcrEngine> engine;
    std::mutex engineMutex;
    int recognized = 0;
    VideoScanner::Recognizer recognizer = [&](const Image& raster, const Image& frame, const ScanSettings& s) {
        const std::uint64_t key = fingerprint(raster);
        std::optional<std::vector<OcrLine>> lines = cache.find(key);
        if (!lines) {
            {
                std::lock_guard lock(engineMutex);
                if (!engine)
                    engine = OcrEngine::shared();
                ++recognized;
            }
            const bool scaled = frame.pixels.size() != raster.pixels.size();
            lines = engine->recognize(raster, scaled ? &frame : nullptr);
            cache.store(key, *lines);
        }
        std::vector<const TextObservation*> observations;
        for (const OcrLine& line : *lines)
            observations.push_back(&line);
        return TextRecognizer::regions(observations, static_cast<double>(raster.width()) / raster.height(), s);
    };
    VideoScanner::Tracker tracker = [&](const TrackingFrames& frames, const std::vector<DetectionSample>& samples,
                                        const std::vector<std::optional<MotionTransform>>& motions,
                                        const ScanProgressCallback& progress, std::stop_token stop) {
        ScanResult raw;
        raw.samples = samples;
        raw.sampleCount = static_cast<std::int64_t>(samples.size());
        std::ofstream(outDir / (name + ".raw.json")) << toJson(raw).dump() << '\n';
        Json list = Json::array();
        for (std::size_t f = 0; f < motions.size(); ++f)
            list.push_back(Json{{"frame", f},
                                {"sceneID", samples[f].sceneID},
                                {"motion", motions[f] ? toJson(*motions[f]) : Json()}});
        std::ofstream(outDir / (name + ".motions.json")) << list.dump() << '\n';
        return VideoMaskTracker().track(frames, samples, motions, progress, stop);
    };
    if (trackOnly) {
        const auto readJson = [&](const std::string& file) {
            std::ifstream in(outDir / file);
            return Json::parse(std::string(std::istreambuf_iterator<char>(in), {}));
        };
        const ScanResult raw = decode<ScanResult>(readJson(name + ".raw.json"));
        std::vector<std::optional<MotionTransform>> motions;
        for (const Json& entry : readJson(name + ".motions.json"))
            motions.push_back(entry.at("motion").is_null() ? std::nullopt
                                                           : std::optional(decode<MotionTransform>(entry.at("motion"))));
        const auto start = std::chrono::steady_clock::now();
        ScanResult result = raw;
        result.samples = VideoMaskTracker().track(clip.string(), raw.samples, motions, {}, {});
        std::ofstream(outDir / (name + ".json")) << toJson(result).dump() << '\n';
        std::fprintf(stderr, "%s tracked: %.1f s\n", name.c_str(),
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        return 0;
    }
    if (motionsOnly) {
        VideoFrames frames(clip);
        SceneBoundaryDetector scenes;
        FrameRegistration registration;
        Json list = Json::array();
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t f = 0; auto decoded = frames.next(); ++f) {
            const Image& frame = decoded->second;
            const auto result = registration.observe(VideoFrames::raster(frame, 960), scenes.observe(frame), {});
            list.push_back(Json{{"frame", f},
                                {"sceneID", result.sceneID},
                                {"motion", result.motion ? toJson(*result.motion) : Json()}});
        }
        std::ofstream(outDir / (clip.stem().string() + ".motions.json")) << list.dump() << '\n';
        std::fprintf(stderr, "registration: %.1f s\n",
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        return 0;
    }
    if (frameToShow >= 0) {
        VideoFrames frames(clip);
        for (long f = 0; auto decoded = frames.next(); ++f) {
            if (f != frameToShow)
                continue;
            const Image& frame = decoded->second;
            const Image raster = VideoFrames::raster(frame, maximumImageDimension(settings.quality));
            const auto lines = engine ? std::vector<OcrLine>{} : OcrEngine::shared()->recognize(raster, &frame);
            for (const OcrLine& line : lines) {
                const ObservationBox b = line.boundingBox();
                std::printf("line %.3f (%.0f,%.0f,%.0fx%.0f) '%s'\n", line.reading().confidence, b.x * frame.width(),
                            (1 - b.maxY()) * frame.height(), b.width * frame.width(), b.height * frame.height(),
                            line.reading().string.c_str());
            }
            std::vector<const TextObservation*> observations;
            for (const OcrLine& line : lines)
                observations.push_back(&line);
            for (const DetectedRegion& region :
                 TextRecognizer::regions(observations, static_cast<double>(raster.width()) / raster.height(), settings)) {
                std::printf("region '%s' (%.0f,%.0f,%.0fx%.0f)", region.text.c_str(), region.rect.x * frame.width(),
                            region.rect.y * frame.height(), region.rect.width * frame.width(),
                            region.rect.height * frame.height());
                for (const TextSelection& s : region.selections)
                    std::printf(" [%s]", s.text.c_str());
                std::printf("\n");
            }
            break;
        }
        return 0;
    }
    const auto start = std::chrono::steady_clock::now();
    // The product's incremental recognizer, with each frame's time and work
    // printed to stderr to see where a scan's time goes.
    const VideoScanner::SequentialRecognizerFactory tracedRecognizer = [] {
        auto recognizer = std::make_shared<IncrementalRecognizer>(
            IncrementalRecognizer::Options{VideoScanner::frameThreadsFor(VideoScanner::defaultProcessorCount())});
        return [recognizer, frame = 0](const Image& raster, const Image& full, const ScanSettings& s,
                                       const VideoScanner::FrameContext& context, std::stop_token stop) mutable {
            const IncrementalRecognizer::Statistics before = recognizer->statistics();
            const auto start = std::chrono::steady_clock::now();
            std::vector<DetectedRegion> regions = recognizer->recognize(raster, full, s, context, stop);
            const IncrementalRecognizer::Statistics& after = recognizer->statistics();
            std::fprintf(stderr,
                         "frame %d: %.2f s, whole %lld, bands %lld, zoom %lld, carried %lld, read %lld, reused %lld, "
                         "matched %lld, patched %lld, composed %lld\n",
                         frame++, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                         static_cast<long long>(after.wholeFrameDetections - before.wholeFrameDetections),
                         static_cast<long long>(after.bandDetections - before.bandDetections),
                         static_cast<long long>(after.zoomFramesPredicted - before.zoomFramesPredicted),
                         static_cast<long long>(after.linesCarried - before.linesCarried),
                         static_cast<long long>(after.linesRead - before.linesRead),
                         static_cast<long long>(after.linesReused - before.linesReused),
                         static_cast<long long>(after.linesMatched - before.linesMatched),
                         static_cast<long long>(after.linesPatched - before.linesPatched),
                         static_cast<long long>(after.linesComposed - before.linesComposed));
            return regions;
        };
    };
    const VideoScanner scanner = incremental ? VideoScanner(tracedRecognizer, tracker)
                                             : VideoScanner(recognizer, tracker);
    const ScanResult result = scanner.scan(clip, settings, {});
    std::ofstream(outDir / (name + ".json")) << toJson(result).dump() << '\n';
    std::fprintf(stderr, "%s: %.1f s, %d frames recognized afresh\n", name.c_str(),
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), recognized);
    return 0;
}
