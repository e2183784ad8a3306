// Scans the public evaluation clips with every kind on and each clip's custom
// terms, at the qualities and in the recognition modes asked for (incremental,
// full), and prints per clip, quality and mode the scan time divided by the
// clip's duration and the scan's peak memory. A generated static 30-second
// 1080p screen recording ("static-30s-1080p") is scanned too. Each scan runs
// in a child process of its own, so that its peak resident size is its own;
// the parent never touches the media libraries (forking is safe).
//
// usage: VideoScannerBench [--clips DIR] [--quality fast,balanced,...]
//                          [--modes incremental,full] [--only SUBSTRING]
//                          [--results DIR] [--static yes|no]
// --results keeps each ScanResult as DIR/<clip>.<quality>.<mode>.json for
// ../shared/eval/score_masks.py.
//
// A second table splits each scan's CPU seconds by stage (decoding in each
// pass over the video, scaling, registration, change planning, detection,
// recognition, keeping tracking frames, references, tracking, the rest), from
// a sampling profile of the scan's process: each stage's share of the
// samples times the process's CPU seconds.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ScrivelCore/Json.hpp"
#include "recognition/NetworkLayers.hpp"
#include "scan/StageProfile.hpp"
#include "scan/VideoScanner.hpp"
#include "support/ClipWriter.hpp"
#include "support/ScreenFrames.hpp"

namespace fs = std::filesystem;
using namespace scrivel;

namespace {

struct Options {
    // The shared evaluation folder sits beside the repository.
    fs::path clips = fs::path(__FILE__).parent_path() / "../../../shared/eval/clips";
    std::vector<OCRQuality> qualities{OCRQuality::fast, OCRQuality::balanced};
    std::vector<bool> fullRecognition{false, true};
    std::string only;
    fs::path results;
    bool staticClip = true;
};

Options parse(int argc, char** argv)
{
    Options options;
    if (const char* eval = std::getenv("SCRIVEL_EVAL_DIR"))
        options.clips = fs::path(eval) / "clips";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--clips") {
            options.clips = value;
        } else if (option == "--only") {
            options.only = value;
        } else if (option == "--results") {
            options.results = value;
        } else if (option == "--static") {
            options.staticClip = value != "no";
        } else if (option == "--modes") {
            options.fullRecognition.clear();
            if (value.find("incremental") != std::string::npos)
                options.fullRecognition.push_back(false);
            if (value.find("full") != std::string::npos)
                options.fullRecognition.push_back(true);
        } else if (option == "--quality") {
            options.qualities.clear();
            for (const std::string name : {"fast", "balanced", "precise"})
                if (value.find(name) != std::string::npos)
                    options.qualities.push_back(name == std::string("fast")       ? OCRQuality::fast
                                                : name == std::string("balanced") ? OCRQuality::balanced
                                                                                  : OCRQuality::precise);
        } else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            std::exit(2);
        }
    }
    return options;
}

std::vector<std::string> customTerms(const fs::path& truth)
{
    std::ifstream file(truth);
    if (!file)
        return {};
    const Json json = Json::parse(std::string(std::istreambuf_iterator<char>(file), {}));
    return json.value("customTerms", std::vector<std::string>{});
}

// In the child: scans and reports "seconds duration sampleCount regions"
// and the profile's sample count per stage on `report`.
int scanClip(const fs::path& clip, OCRQuality quality, bool fullRecognition, const fs::path& resultPath,
             std::FILE* report)
{
    fs::path truth = clip;
    truth.replace_extension(".gt.json");
    ScanSettings settings;
    settings.quality = quality;
    settings.confidence = 0.3F;
    settings.blurHan = settings.blurEmails = settings.blurPhones = true;
    settings.customTerms = customTerms(truth);

    const VideoScanner scanner(VideoScanner::Options{fullRecognition});
    StageProfile::start();
    const auto start = std::chrono::steady_clock::now();
    // Each phase's seconds go to stderr as the next one starts: where a
    // scan's time goes (recognition, references, tracking).
    std::string phase;
    auto phaseStart = start;
    const auto endPhase = [&](const std::string& next) {
        const auto now = std::chrono::steady_clock::now();
        if (!phase.empty())
            std::fprintf(stderr, "%s: %s %.1f s\n", clip.stem().c_str(), phase.c_str(),
                         std::chrono::duration<double>(now - phaseStart).count());
        phase = next;
        phaseStart = now;
    };
    const ScanResult result = scanner.scan(clip, settings, [&](const ScanProgress& progress) {
        if (progress.message != phase)
            endPhase(progress.message);
    });
    endPhase("");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!resultPath.empty())
        std::ofstream(resultPath) << toJson(result).dump() << '\n';
    std::fprintf(report, "%.3f %.6f %lld %lld", seconds, result.duration, static_cast<long long>(result.sampleCount),
                 static_cast<long long>(result.totalRegions));
    for (const std::int64_t count : StageProfile::samples())
        std::fprintf(report, " %lld", static_cast<long long>(count));
    std::fputc('\n', report);
    return 0;
}

// A still 1080p screen (UI text, e-mails, phones, Han) held for 30 seconds
// at 30 fps, encoded as screen recorders do: long key-frame intervals.
void writeStaticRecording(const fs::path& path)
{
    test::ClipSpec format;
    format.width = 1920;
    format.height = 1080;
    format.frameCount = 900;
    format.frameRate = 30;
    format.h264Crf = 18;
    format.gopSize = 300;
    const cv::Mat screen = testing::makeScreenFrame(7).image.pixels;
    test::writeClip(path, format, [&](int) { return screen; });
}

struct StageRow {
    std::string scan;
    double cpuSeconds = 0;
    StageProfile::Samples samples{};
};

// CPU seconds per stage, each stage's share of the samples applied to the
// scan's CPU seconds, and the totals over every scan.
void printStageTable(const std::vector<StageRow>& rows)
{
    if (rows.empty())
        return;
    // Column heads, in ScanStage order.
    constexpr std::array<const char*, scanStageCount> heads{"other", "dec scan", "dec refs", "dec track",
        "scaling", "register", "planning", "detect", "recognize", "keep", "refs", "track"};
    std::printf("\nCPU seconds by stage (sampled)\n%-38s", "scan");
    for (const char* head : heads)
        std::printf(" %10s", head);
    std::printf(" %10s\n", "samples");
    std::array<double, scanStageCount> totals{};
    const auto printRow = [](const std::string& name, const std::array<double, scanStageCount>& seconds, long long n) {
        std::printf("%-38s", name.c_str());
        for (const double s : seconds)
            std::printf(" %10.2f", s);
        std::printf(" %10lld\n", n);
    };
    long long allSamples = 0;
    for (const StageRow& row : rows) {
        long long n = 0;
        for (const std::int64_t count : row.samples)
            n += count;
        std::array<double, scanStageCount> seconds{};
        for (std::size_t i = 0; i < scanStageCount; ++i) {
            seconds[i] = n > 0 ? row.cpuSeconds * static_cast<double>(row.samples[i]) / static_cast<double>(n) : 0;
            totals[i] += seconds[i];
        }
        allSamples += n;
        printRow(row.scan, seconds, n);
    }
    printRow("all", totals, allSamples);
}

} // namespace

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    std::vector<fs::path> clips;
    if (fs::is_directory(options.clips))
        for (const auto& entry : fs::directory_iterator(options.clips))
            if (const auto extension = entry.path().extension();
                (extension == ".mp4" || extension == ".mov" || extension == ".m4v") &&
                entry.path().filename().string().find(options.only) != std::string::npos)
                clips.push_back(entry.path());
    std::sort(clips.begin(), clips.end());
    // Removes the generated recording's folder however main() ends.
    struct Folder {
        fs::path path;
        ~Folder()
        {
            std::error_code ignored;
            if (!path.empty())
                fs::remove_all(path, ignored);
        }
    } generated;
    if (options.staticClip && std::string("static-30s-1080p").find(options.only) != std::string::npos) {
        generated.path = fs::temp_directory_path() / ("scrivel-scan-bench-" + std::to_string(::getpid()));
        fs::create_directories(generated.path);
        clips.push_back(generated.path / "static-30s-1080p.mp4");
        // Drawn and encoded in a child too: the scans are forked from this
        // process, and the libraries' thread pools do not survive a fork.
        std::fflush(stdout);
        const pid_t writer = ::fork();
        if (writer == 0) {
            int code = 0;
            try {
                writeStaticRecording(clips.back());
            } catch (const std::exception& error) {
                std::fprintf(stderr, "static-30s-1080p: %s\n", error.what());
                code = 1;
            }
            std::_Exit(code);
        }
        int status = 0;
        ::waitpid(writer, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            clips.pop_back();
    }
    if (clips.empty()) {
        std::printf("no clips in %s; set SCRIVEL_EVAL_DIR or --clips\n", options.clips.c_str());
        return 0;
    }
    if (!options.results.empty())
        fs::create_directories(options.results);

    std::printf("networks run with %s\n", std::string(networkArithmetic()).c_str());
    std::vector<StageRow> stageRows;
    // cpu s: the scan process's user and system time, which on a busy
    // machine says more than the wall-clock time does.
    std::printf("%-26s %-9s %-12s %7s %9s %13s %8s %8s %8s %10s\n", "clip", "quality", "recognition", "frames",
                "duration", "scan/duration", "scan s", "cpu s", "regions", "peak MiB");
    for (const fs::path& clip : clips) {
        for (const OCRQuality quality : options.qualities) {
            for (const bool fullRecognition : options.fullRecognition) {
                const std::string name = clip.stem().string();
                const std::string mode = fullRecognition ? "full" : "incremental";
                const fs::path resultPath =
                    options.results.empty()
                        ? fs::path()
                        : options.results / (name + "." + std::string(rawValue(quality)) + "." + mode + ".json");
                int pipeEnds[2];
                if (::pipe(pipeEnds) != 0)
                    return 1;
                std::fflush(stdout);
                const pid_t child = ::fork();
                if (child == 0) {
                    ::close(pipeEnds[0]);
                    std::FILE* report = ::fdopen(pipeEnds[1], "w");
                    int code = 1;
                    try {
                        code = scanClip(clip, quality, fullRecognition, resultPath, report);
                    } catch (const std::exception& error) {
                        std::fprintf(stderr, "%s: %s\n", name.c_str(), error.what());
                    }
                    std::fclose(report);
                    std::_Exit(code);
                }
                ::close(pipeEnds[1]);
                char line[1024] = {};
                std::FILE* report = ::fdopen(pipeEnds[0], "r");
                const bool reported = std::fgets(line, sizeof line, report) != nullptr;
                std::fclose(report);
                int status = 0;
                rusage usage{};
                ::wait4(child, &status, 0, &usage);
                double seconds = 0, duration = 0;
                long long frames = 0, regions = 0;
                int consumed = 0;
                if (!reported ||
                    std::sscanf(line, "%lf %lf %lld %lld%n", &seconds, &duration, &frames, &regions, &consumed) != 4 ||
                    !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                    std::printf("%-26s %-9s %-12s failed\n", name.c_str(), std::string(rawValue(quality)).c_str(),
                                mode.c_str());
                    continue;
                }
                const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
                std::printf("%-26s %-9s %-12s %7lld %9.3f %13.2f %8.1f %8.1f %8lld %10.1f\n", name.c_str(),
                            std::string(rawValue(quality)).c_str(), mode.c_str(), frames, duration, seconds / duration,
                            seconds, cpu, regions, static_cast<double>(usage.ru_maxrss) / 1024.0);
                std::fflush(stdout);
                StageRow row{name + " " + std::string(rawValue(quality)) + " " + mode, cpu, {}};
                std::istringstream counts(line + consumed);
                for (std::int64_t& count : row.samples)
                    counts >> count;
                stageRows.push_back(std::move(row));
            }
        }
    }
    printStageTable(stageRows);
    return 0;
}
