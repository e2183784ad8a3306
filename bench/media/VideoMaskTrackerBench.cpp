// Tracker cost on a scrolling 720p page of 24 lines: the whole track() call
// per frame, next to decoding the same clip twice at 960 pixels (the floor
// the tracker's two passes cannot go below).

#include <benchmark/benchmark.h>

#include <optional>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "decode/VideoFrames.hpp"
#include "tracking/VideoMaskTracker.hpp"
#include "support/ClipWriter.hpp"

using namespace scrivel;
using namespace scrivel::test;

namespace {

constexpr int width = 1280;
constexpr int height = 720;
constexpr int frames = 90;
constexpr int scrollPixels = 4;
constexpr int lineCount = 24;

struct Clip {
    TemporaryFile file{".mp4"};
    std::vector<DetectionSample> samples;
    std::vector<std::optional<MotionTransform>> motions;

    Clip()
    {
        std::vector<TextItem> items;
        std::vector<cv::Rect> boxes;
        for (int i = 0; i < lineCount; ++i) {
            TextItem item{"line " + std::to_string(i) + ": contact user" + std::to_string(i) + "@example.com today",
                          {40 + (i % 3) * 30, 60 + i * 40}, 0.8, {20, 20, 20}, 2};
            int baseline = 0;
            const cv::Size size = cv::getTextSize(item.text, cv::FONT_HERSHEY_SIMPLEX, item.fontScale, item.thickness, &baseline);
            boxes.push_back({item.origin.x - 2, item.origin.y - size.height - 3, size.width + 4, size.height + baseline + 4});
            items.push_back(item);
        }
        const cv::Mat page = textFrame({width, 60 + lineCount * 40 + height}, items);
        ClipSpec format;
        format.width = width;
        format.height = height;
        format.frameCount = frames;
        format.frameRate = 30;
        writeClip(file.path, format, [&](int i) { return scrolledView(page, {width, height}, 0, i * scrollPixels); });

        VideoFrames reader(file.path);
        int f = 0;
        while (auto frame = reader.next()) {
            DetectionSample sample{frame->first, 0, {}};
            const int scrolled = f * scrollPixels;
            // Recognition sees each visible line on two frames out of three.
            for (int i = 0; i < lineCount; ++i) {
                const cv::Rect& box = boxes[static_cast<std::size_t>(i)];
                if ((f + i) % 3 == 0 || box.y - scrolled < 0 || box.y + box.height - scrolled > height)
                    continue;
                DetectedRegion region;
                region.rect = {static_cast<double>(box.x) / width, static_cast<double>(box.y - scrolled) / height,
                               static_cast<double>(box.width) / width, static_cast<double>(box.height) / height};
                region.confidence = 1;
                region.text = items[static_cast<std::size_t>(i)].text;
                region.selections = {{{0.5, 0, 0.4, 1}, RedactionKind::email, "user@example.com"}};
                sample.regions.push_back(region);
            }
            samples.push_back(sample);
            motions.push_back(MotionTransform(1, 0, -static_cast<double>(scrolled) / height));
            ++f;
        }
    }
};

Clip& clip()
{
    static Clip instance;
    return instance;
}

void trackScrollingPage(benchmark::State& state)
{
    Clip& c = clip();
    std::size_t masks = 0;
    for (auto _ : state) {
        const auto output = VideoMaskTracker().track(c.file.path.string(), c.samples, c.motions, {}, {});
        masks = 0;
        for (const DetectionSample& sample : output)
            masks += sample.regions.size();
        benchmark::DoNotOptimize(masks);
    }
    state.counters["frames_per_second"] = benchmark::Counter(frames, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["masks"] = static_cast<double>(masks);
}

void decodeTwiceAt960(benchmark::State& state)
{
    Clip& c = clip();
    for (auto _ : state) {
        for (int pass = 0; pass < 2; ++pass) {
            VideoFrames reader(c.file.path);
            while (auto frame = reader.next())
                benchmark::DoNotOptimize(VideoFrames::raster(frame->second, 960).pixels.data);
        }
    }
    state.counters["frames_per_second"] = benchmark::Counter(frames, benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(trackScrollingPage)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(decodeTwiceAt960)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
