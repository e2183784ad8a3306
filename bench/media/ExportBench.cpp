// Export speed against a plain ffmpeg transcode of the same file, and the
// mask renderer's cost per 1080p frame.
//
//   ExportBench [CLIP.mp4] [--renderer-only]
//
// CLIP.mp4 is the generated 1080p30, 20 s source; it is made (and kept) when
// the path is given and missing, or made in a temporary folder otherwise.

#include <chrono>
#include <ctime>

#include <sys/resource.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <opencv2/imgproc.hpp>

#include "render/BlurRenderer.hpp"
#include "export/VideoExporter.hpp"
#include "support/ClipWriter.hpp"

namespace {

using namespace scrivel;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int width = 1920;
constexpr int height = 1080;
constexpr double frameRate = 30;
constexpr int frameCount = 600;
constexpr int scrollPixelsPerFrame = 3;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of the whole process (all threads), seconds: steadier than the
// wall clock on a shared machine.
double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec * 1e-9;
}

DetectedRegion lineRegion(double x, double y, double w, double h, std::int64_t track)
{
    DetectedRegion region;
    region.rect = {x, y, w, h};
    region.selections.push_back({{0.1, 0, 0.6, 1}, RedactionKind::custom, "secret"});
    region.trackID = track;
    region.backgroundColor = 0xFFFFFF;
    return region;
}

// `count` masks shaped like words on text lines, following the scroll.
std::vector<DetectedRegion> maskedLines(int count, int frameIndex)
{
    std::vector<DetectedRegion> regions;
    const double lineHeight = 28.0 / height;
    for (int i = 0; i < count; ++i) {
        const double top = std::fmod(0.03 + i * 0.031 - frameIndex * double(scrollPixelsPerFrame) / height + 1.0, 1.0);
        const double left = 0.04 + (i % 3) * 0.3;
        regions.push_back(lineRegion(left, std::min(top, 1 - lineHeight), 0.22, lineHeight, i + 1));
    }
    return regions;
}

void makeSource(const fs::path& path)
{
    std::printf("generating %s (1080p30, 20 s, AAC)...\n", path.c_str());
    std::fflush(stdout);
    const cv::Mat page = test::textPage(width, height + frameCount * scrollPixelsPerFrame + height, 7);
    test::ClipSpec format;
    format.width = width;
    format.height = height;
    format.frameRate = frameRate;
    format.frameCount = frameCount;
    format.h264Crf = 18;
    format.gopSize = 60;
    format.audioCodec = test::ClipAudioCodec::aac;
    const auto start = Clock::now();
    test::writeClip(path, format, [&page](int index) {
        return test::scrolledView(page, {width, height}, 0, index * scrollPixelsPerFrame);
    });
    std::printf("  generated in %.1f s\n", secondsSince(start));
}

void benchRenderer()
{
    const cv::Mat page = test::textPage(width, height, 3);
    const Image frame(page.clone());
    const std::vector<DetectedRegion> regions = maskedLines(40, 0);
    std::printf("\nrenderer, 1080p frame, 40 masks, ms per frame (render() with its frame copy; in place: wall, CPU):\n");
    for (MaskStyle style : {MaskStyle::blur, MaskStyle::pixelate, MaskStyle::solid, MaskStyle::skeleton}) {
        RenderSettings settings = startingRenderSettings();
        settings.style = style;
        settings.cornerRadius = 4;
        constexpr int rounds = 60;
        auto start = Clock::now();
        for (int i = 0; i < rounds; ++i)
            BlurRenderer::render(frame, regions, settings, i / 30.0, false);
        const double copying = secondsSince(start) * 1000 / rounds;
        Image target = frame.clone();
        start = Clock::now();
        const double cpuStart = processCpuSeconds();
        for (int i = 0; i < rounds; ++i)
            BlurRenderer::renderInPlace(target, regions, settings, i / 30.0, false);
        const double inPlace = secondsSince(start) * 1000 / rounds;
        const double inPlaceCpu = (processCpuSeconds() - cpuStart) * 1000 / rounds;
        std::printf("  %-9s %6.2f ms   in place %6.2f ms, CPU %6.2f ms\n", std::string(rawValue(style)).c_str(),
                    copying, inPlace, inPlaceCpu);
    }
}

void benchExport(const fs::path& source, const fs::path& folder)
{
    ScanResult scan;
    scan.duration = frameCount / frameRate;
    scan.frameRate = frameRate;
    for (int i = 0; i < frameCount; ++i)
        scan.samples.push_back({i / frameRate, 0, maskedLines(30, i)});
    scan.sampleCount = frameCount;
    scan.totalRegions = 30 * frameCount;

    const std::string preset = VideoExporter::encoderPreset;
    const fs::path plainOutput = folder / "plain.mp4";
    const fs::path redactedOutput = folder / "redacted.mp4";
    const std::string command = "ffmpeg -nostdin -loglevel error -y -i '" + source.string() +
                                "' -c:v libx264 -preset " + preset + " -crf 18 -c:a copy '" + plainOutput.string() + "'";

    // The same transcode of the redacted file: how much of the difference is
    // the encoder's work on the masked picture rather than the exporter's own.
    const fs::path again = folder / "again.mp4";
    const std::string commandAgain = "ffmpeg -nostdin -loglevel error -y -i '" + redactedOutput.string() +
                                     "' -c:v libx264 -preset " + preset + " -crf 18 -c:a copy '" + again.string() + "'";
    double againBest = 1e9, againCpu = 1e9;
    double plainBest = 1e9, exportBest = 1e9, plainCpu = 1e9, exportCpu = 1e9;
    for (int round = 0; round < 2; ++round) {
        auto start = Clock::now();
        double cpu = cpuSeconds(RUSAGE_CHILDREN);
        if (std::system(command.c_str()) != 0)
            std::printf("  ffmpeg failed: %s\n", command.c_str());
        plainBest = std::min(plainBest, secondsSince(start));
        plainCpu = std::min(plainCpu, cpuSeconds(RUSAGE_CHILDREN) - cpu);

        start = Clock::now();
        cpu = cpuSeconds(RUSAGE_SELF);
        VideoExporter::exportVideo(source, redactedOutput, scan, startingRenderSettings(), {});
        exportBest = std::min(exportBest, secondsSince(start));
        exportCpu = std::min(exportCpu, cpuSeconds(RUSAGE_SELF) - cpu);
        start = Clock::now();
        cpu = cpuSeconds(RUSAGE_CHILDREN);
        if (std::system(commandAgain.c_str()) != 0)
            std::printf("  ffmpeg failed: %s\n", commandAgain.c_str());
        againBest = std::min(againBest, secondsSince(start));
        againCpu = std::min(againCpu, cpuSeconds(RUSAGE_CHILDREN) - cpu);
        std::printf("  round %d: ffmpeg %.2f s (CPU %.2f s), export %.2f s (CPU %.2f s)\n", round + 1, plainBest,
                    plainCpu, exportBest, exportCpu);
        std::fflush(stdout);
    }
    std::printf("\nexport of %s, 30 masks per frame, blur 24, preset %s (best of 2; wall / CPU of all threads):\n",
                source.filename().c_str(), preset.c_str());
    std::printf("  ffmpeg -c:v libx264 -preset %s -crf 18 -c:a copy: %7.2f s  %7.2f s\n", preset.c_str(), plainBest,
                plainCpu);
    std::printf("  VideoExporter::exportVideo:                      %7.2f s  %7.2f s\n", exportBest, exportCpu);
    std::printf("  ratio: wall %.2f, CPU %.2f (target <= 1.20)\n", exportBest / plainBest, exportCpu / plainCpu);
    std::printf("  the same ffmpeg command on the redacted file:    %7.2f s  %7.2f s (export / this: wall %.2f, CPU %.2f)\n",
                againBest, againCpu, exportBest / againBest, exportCpu / againCpu);
    fs::remove(plainOutput);
    fs::remove(redactedOutput);
    fs::remove(again);
}

} // namespace

int main(int argc, char** argv)
{
    bool rendererOnly = false;
    fs::path clip;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--renderer-only")
            rendererOnly = true;
        else
            clip = argument;
    }
    benchRenderer();
    if (std::getenv("SCRIVEL_BENCH_CV_THREADS")) {
        cv::setNumThreads(std::atoi(std::getenv("SCRIVEL_BENCH_CV_THREADS")));
        benchRenderer();
    }
    if (rendererOnly)
        return 0;

    std::string pattern = (fs::temp_directory_path() / "scrivel-export-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return 1;
    const fs::path folder = pattern;
    const fs::path source = clip.empty() ? folder / "source.mp4" : clip;
    if (!fs::exists(source))
        makeSource(source);
    benchExport(source, folder);
    fs::remove_all(folder);
    return 0;
}
