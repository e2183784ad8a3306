// Scans the public evaluation clips with every kind on and each clip's custom
// terms, at the qualities asked for, and prints per clip and quality the scan
// time divided by the clip's duration and the scan's peak memory. Each scan
// runs in a child process of its own, so that its peak resident size is its
// own; the parent never touches the media libraries (forking is safe).
//
// usage: VideoScannerBench [--clips DIR] [--quality fast,balanced,...]
//                          [--only SUBSTRING] [--results DIR]
// --results keeps each ScanResult as DIR/<clip>.<quality>.json for
// ../shared/eval/score_masks.py.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ScrivelCore/Json.hpp"
#include "ScrivelMedia/VideoScanner.hpp"

namespace fs = std::filesystem;
using namespace scrivel;

namespace {

struct Options {
    // The shared evaluation folder sits beside the repository.
    fs::path clips = fs::path(__FILE__).parent_path() / "../../../shared/eval/clips";
    std::vector<OCRQuality> qualities{OCRQuality::fast, OCRQuality::balanced};
    std::string only;
    fs::path results;
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

// In the child: scans and reports "seconds duration sampleCount regions" on `report`.
int scanClip(const fs::path& clip, OCRQuality quality, const fs::path& resultPath, std::FILE* report)
{
    fs::path truth = clip;
    truth.replace_extension(".gt.json");
    ScanSettings settings;
    settings.quality = quality;
    settings.confidence = 0.3F;
    settings.blurHan = settings.blurEmails = settings.blurPhones = true;
    settings.customTerms = customTerms(truth);

    const VideoScanner scanner;
    const auto start = std::chrono::steady_clock::now();
    const ScanResult result = scanner.scan(clip, settings, {});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!resultPath.empty())
        std::ofstream(resultPath) << toJson(result).dump() << '\n';
    std::fprintf(report, "%.3f %.6f %lld %lld\n", seconds, result.duration, static_cast<long long>(result.sampleCount),
                 static_cast<long long>(result.totalRegions));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    std::vector<fs::path> clips;
    if (fs::is_directory(options.clips))
        for (const auto& entry : fs::directory_iterator(options.clips))
            if (entry.path().extension() == ".mp4" && entry.path().filename().string().find(options.only) != std::string::npos)
                clips.push_back(entry.path());
    std::sort(clips.begin(), clips.end());
    if (clips.empty()) {
        std::printf("no clips in %s; set SCRIVEL_EVAL_DIR or --clips\n", options.clips.c_str());
        return 0;
    }
    if (!options.results.empty())
        fs::create_directories(options.results);

    std::printf("%-26s %-9s %7s %9s %12s %8s %8s %10s\n", "clip", "quality", "frames", "duration", "scan/duration",
                "scan s", "regions", "peak MiB");
    for (const fs::path& clip : clips) {
        for (const OCRQuality quality : options.qualities) {
            const std::string name = clip.stem().string();
            const fs::path resultPath = options.results.empty()
                                            ? fs::path()
                                            : options.results / (name + "." + std::string(rawValue(quality)) + ".json");
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
                    code = scanClip(clip, quality, resultPath, report);
                } catch (const std::exception& error) {
                    std::fprintf(stderr, "%s: %s\n", name.c_str(), error.what());
                }
                std::fclose(report);
                std::_Exit(code);
            }
            ::close(pipeEnds[1]);
            char line[256] = {};
            std::FILE* report = ::fdopen(pipeEnds[0], "r");
            const bool reported = std::fgets(line, sizeof line, report) != nullptr;
            std::fclose(report);
            int status = 0;
            rusage usage{};
            ::wait4(child, &status, 0, &usage);
            double seconds = 0, duration = 0;
            long long frames = 0, regions = 0;
            if (!reported || std::sscanf(line, "%lf %lf %lld %lld", &seconds, &duration, &frames, &regions) != 4 ||
                !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                std::printf("%-26s %-9s failed\n", name.c_str(), std::string(rawValue(quality)).c_str());
                continue;
            }
            std::printf("%-26s %-9s %7lld %9.3f %12.2f %8.1f %8lld %10.1f\n", name.c_str(),
                        std::string(rawValue(quality)).c_str(), frames, duration, seconds / duration, seconds, regions,
                        static_cast<double>(usage.ru_maxrss) / 1024.0);
        }
    }
    return 0;
}
