// Media throughput figures, printed as plain lines:
//   decode: frames per second of a generated 1080p H.264 clip through
//           VideoFrames and the 960-pixel raster, next to the time the ffmpeg
//           tool takes to decode the same file (ffmpeg -v error -i clip -f null -);
//   registration: milliseconds per frame pair at the 960-pixel working size
//           on one core, and per observed frame of a scroll;
//   appearance: microseconds per wide-search match.
// Usage: MediaBench [frameCount]   (default 120)

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <time.h>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "motion/FrameRegistration.hpp"
#include "tracking/TrackingImage.hpp"
#include "decode/VideoFrames.hpp"
#include "support/ClipWriter.hpp"

using namespace scrivel;
using namespace scrivel::test;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of the calling thread: what one core spends, whatever else the
// (shared) machine is doing.
double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec * 1e-9;
}

void decodeThroughput(int frameCount)
{
    TemporaryFile clip(".mp4");
    const cv::Mat page = textPage(1920, 1080 + 8 * frameCount, 11);
    ClipSpec format;
    format.width = 1920;
    format.height = 1080;
    format.frameCount = frameCount;
    format.h264Crf = 20;
    format.gopSize = 60;
    const auto encodeStart = Clock::now();
    writeClip(clip.path, format, [&](int i) { return scrolledView(page, {1920, 1080}, 0, 8 * i); });
    std::printf("generated %d frames of 1920x1080 H.264 in %.1f s\n", frameCount, secondsSince(encodeStart));

    // Best of three alternating runs each: the machine may be shared.
    double ours = 1e9, tool = 1e9;
    int decoded = 0;
    int status = 0;
    const std::string command = "ffmpeg -nostdin -v error -i '" + clip.path.string() + "' -f null -";
    for (int round = 0; round < 3; ++round) {
        auto start = Clock::now();
        decoded = 0;
        {
            VideoFrames frames(clip.path);
            while (auto frame = frames.next()) {
                const Image raster = VideoFrames::raster(frame->second, 960);
                benchmark::DoNotOptimize(raster.pixels.data);
                ++decoded;
            }
        }
        ours = std::min(ours, secondsSince(start));
        start = Clock::now();
        status = std::system(command.c_str());
        tool = std::min(tool, secondsSince(start));
    }

    std::printf("decode: VideoFrames + 960 raster: %d frames in %.2f s = %.1f fps\n", decoded, ours, decoded / ours);
    if (status == 0)
        std::printf("decode: ffmpeg -f null on the same file: %.2f s = %.1f fps (ratio ours/ffmpeg time %.2f)\n", tool,
            frameCount / tool, ours / tool);
    else
        std::printf("decode: ffmpeg tool unavailable (status %d)\n", status);
}

void registrationCost()
{
    cv::setNumThreads(1); // the target is per core
    const cv::Mat page = textPage(960, 6000, 5);
    const cv::Size view{960, 540};
    const int pairs = 60;

    // A pair: preparing the current frame plus registering it against a
    // prepared reference (the keyframe's features are kept from its own frame).
    std::vector<std::shared_ptr<const FrameRegistration::Prepared>> prepared;
    for (int i = 0; i <= pairs; ++i)
        prepared.push_back(FrameRegistration::prepare(Image(scrolledView(page, view, 0, 54 * i))));
    auto start = Clock::now();
    double cpuStart = threadSeconds();
    double worstErrorPixels = 0;
    for (int i = 1; i <= pairs; ++i) {
        auto current = FrameRegistration::prepare(Image(scrolledView(page, view, 0, 54 * i)));
        const auto measured = FrameRegistration::registerPair(*prepared[i - 1], *current);
        if (!measured) {
            std::printf("registration: pair %d not registered\n", i);
            continue;
        }
        worstErrorPixels = std::max(worstErrorPixels, std::abs(measured->motion.ty() * 540 + 54));
    }
    const double perPair = secondsSince(start) * 1000 / pairs;
    const double perPairCpu = (threadSeconds() - cpuStart) * 1000 / pairs;
    std::printf("registration: %.2f ms CPU (%.2f ms wall) per 960x540 frame pair (prepare current + register), one thread; "
                "worst error on a 10%% scroll %.3f px\n",
        perPairCpu, perPair, worstErrorPixels);

    // Whole observe() calls over a scroll: up to four registrations per frame.
    FrameRegistration registration;
    start = Clock::now();
    cpuStart = threadSeconds();
    const int frames = 90;
    double drift = 0;
    for (int i = 0; i < frames; ++i) {
        const auto result = registration.observe(Image(scrolledView(page, view, 0, 17 * i)), 0);
        if (result.motion)
            drift = std::max(drift, std::abs(result.motion->ty() * 540 + 17 * i));
    }
    std::printf("registration: %.2f ms CPU (%.2f ms wall) per observed frame over a %d-frame scroll; worst accumulated error %.3f px\n",
        (threadSeconds() - cpuStart) * 1000 / frames, secondsSince(start) * 1000 / frames, frames, drift);

    // Zoom accuracy: 1.1 about the centre maps u to 1.1 u - 0.05.
    const Image reference(scrolledView(page, view, 0, 800));
    const Image zoomed(zoomedView(reference.pixels, 1.1));
    if (const auto zoom = FrameRegistration::registerPair(*FrameRegistration::prepare(reference), *FrameRegistration::prepare(zoomed)))
        std::printf("registration: zoom 1.1 measured as scale %.5f, tx error %.3f px, ty error %.3f px\n", zoom->motion.scale(),
            (zoom->motion.tx() + 0.05) * 960, (zoom->motion.ty() + 0.05) * 540);
    cv::setNumThreads(-1);
}

void appearanceCost()
{
    const cv::Mat page = textPage(960, 540, 21);
    const auto reference = TrackingImage::make(Image(page), 960);
    const NormalizedRect rect{20.0 / 960, (140.0 - 20) / 540, 600.0 / 960, 26.0 / 540};
    const auto patch = reference->makePatch(rect);
    const cv::Mat moved = scrolledView(page, page.size(), -5, 7);
    const auto image = TrackingImage::make(Image(moved), 960);
    if (!patch || !image)
        return;
    const int rounds = 200;
    const auto start = Clock::now();
    const double cpuStart = threadSeconds();
    double correlation = 0;
    for (int i = 0; i < rounds; ++i)
        if (const auto found = image->match(*patch, rect))
            correlation = found->correlation;
    std::printf("appearance: %.1f us CPU (%.1f us wall) per wide-search match (correlation %.3f)\n",
        (threadSeconds() - cpuStart) * 1e6 / rounds, secondsSince(start) * 1e6 / rounds, correlation);

    // The tracker's usual case: the line where it was, under coding noise,
    // which is refined around its place rather than searched for.
    cv::Mat noisy = page.clone();
    cv::Mat noise(page.size(), page.type());
    cv::randn(noise, cv::Scalar::all(0), cv::Scalar::all(6));
    noisy += noise;
    const auto still = TrackingImage::make(Image(noisy), 960);
    const int correlations = 20000;
    const double correlationStart = threadSeconds();
    double sum = 0;
    for (int i = 0; i < correlations; ++i)
        sum += still->correlation(patch->full, rect, (i % 3) - 1, 0);
    const double perCorrelation = (threadSeconds() - correlationStart) * 1e6 / correlations;
    const double refineStart = threadSeconds();
    for (int i = 0; i < rounds * 10; ++i)
        if (const auto found = still->match(*patch, rect))
            correlation = found->correlation;
    std::printf("appearance: %.2f us CPU per correlation of a %zu x %zu grid (mean %.3f), %.1f us per match in place "
                "(correlation %.3f)\n",
        perCorrelation, patch->full.x.size(), patch->full.y.size(), sum / correlations,
        (threadSeconds() - refineStart) * 1e6 / (rounds * 10), correlation);
}

} // namespace

int main(int argc, char** argv)
{
    const int frameCount = argc > 1 ? std::max(2, std::atoi(argv[1])) : 120;
    registrationCost();
    appearanceCost();
    decodeThroughput(frameCount);
    return 0;
}
