// Speed of text detection and recognition on a dense generated 1080p frame.
//
//   OcrSpeedBench [repeats=3] [lines=24]
//
// Prints detection milliseconds per frame with the long side at 1280 and at
// 1920, recognition milliseconds per line (and per 100 columns of the
// 48-pixel-high crop) with 1 and 2 OpenCV threads, the throughput of two
// one-thread workers, and where the time goes inside the networks.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <string>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include "recognition/NetworkLayers.hpp"
#include "recognition/OcrEngine.hpp"
#include "support/ScreenFrames.hpp"

using namespace scrivel;
using namespace scrivel::testing;

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

template <typename F>
double medianMs(int repeats, F&& f)
{
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        auto start = Clock::now();
        f();
        times.push_back(msSince(start));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Per-layer-type share of one forward pass.
void profile(const char* title, cv::dnn::Net& net, const cv::Mat& blob)
{
    net.setInput(blob);
    net.forward(); // the first run allocates
    net.setInput(blob);
    net.forward();
    std::vector<double> timings;
    const double total = static_cast<double>(net.getPerfProfile(timings)) * 1000.0 / cv::getTickFrequency();
    std::map<std::string, double> byType;
    for (std::size_t i = 0; i < timings.size(); ++i) {
        auto layer = net.getLayer(static_cast<int>(i) + 1);
        byType[layer->type] += timings[i] * 1000.0 / cv::getTickFrequency();
    }
    std::vector<std::pair<double, std::string>> ranked;
    for (auto& [type, ms] : byType)
        ranked.push_back({ms, type});
    std::sort(ranked.rbegin(), ranked.rend());
    std::printf("  %s: %.0f ms in the network;", title, total);
    for (std::size_t i = 0; i < std::min<std::size_t>(5, ranked.size()); ++i)
        std::printf(" %s %.0f%%", ranked[i].second.c_str(), 100.0 * ranked[i].first / total);
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv)
{
    const int repeats = argc > 1 ? std::atoi(argv[1]) : 3;
    const int requestedLines = argc > 2 ? std::atoi(argv[2]) : 24;
    if (repeats < 1 || requestedLines < 1) {
        std::fprintf(stderr, "usage: OcrSpeedBench [repeats=3] [lines=24] (both at least 1)\n");
        return 2;
    }
    const auto lineCount = static_cast<std::size_t>(requestedLines);
    const auto models = OcrEngine::locateModels();
    OcrEngine::Options at1280;
    at1280.detectionLongSidePixels = 1280;
    OcrEngine engine1280(models, at1280);
    OcrEngine engineFull(models);

    const ScreenFrame frame = makeScreenFrame(2000);
    const Image& full = frame.image;
    std::printf("OCR speed: dense 1920x1080 frame with %zu lines, median of %d runs; networks run with %s\n",
                frame.lines.size(), repeats, std::string(networkArithmetic()).c_str());

    // Lines as the scanner would have them: found at 1280, read from the full frame.
    std::vector<cv::Rect> lines;
    for (const auto& box : engine1280.detect(full))
        lines.push_back(box.rect);
    std::vector<cv::Rect> sample(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(std::min(lineCount, lines.size())));
    double columns = 0;
    for (const auto& r : sample)
        columns += std::ceil(48.0 * r.width / r.height);

    for (int threads : {1, 2}) {
        cv::setNumThreads(threads);
        engine1280.detect(full); // first run at a size builds that size's net
        engineFull.detect(full);
        const double det1280 = medianMs(repeats, [&] { engine1280.detect(full); });
        const double det1920 = medianMs(repeats, [&] { engineFull.detect(full); });
        engine1280.readLine(full.pixels, sample.front());
        const double rec = medianMs(1, [&] {
            for (const auto& r : sample)
                engine1280.readLine(full.pixels, r);
        });
        std::printf("  %d thread%s: detection %.0f ms at 1280x720, %.0f ms at 1920x1088; recognition %.1f ms per line "
                    "(%.1f ms per 100 columns of the line box scaled to 48 px high, %zu lines averaging %.0f)\n",
                    threads, threads == 1 ? " " : "s", det1280, det1920, rec / double(sample.size()),
                    100.0 * rec / columns, sample.size(), columns / double(sample.size()));
    }

    // Two one-thread workers on halves of the lines: the scanner's way of using two cores.
    cv::setNumThreads(1);
    const std::size_t half = sample.size() / 2;
    const double one = medianMs(1, [&] {
        for (const auto& r : sample)
            engine1280.readLine(full.pixels, r);
    });
    const double two = medianMs(1, [&] {
        auto worker = [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i)
                engine1280.readLine(full.pixels, sample[i]);
        };
        auto a = std::async(std::launch::async, worker, 0, half);
        auto b = std::async(std::launch::async, worker, half, sample.size());
        a.get();
        b.get();
    });
    std::printf("  two 1-thread workers: %.2fx the throughput of one (%.0f ms vs %.0f ms for %zu lines)\n", one / two,
                two, one, sample.size());

    // Where the time goes.
    cv::setNumThreads(1);
    registerNetworkLayers();
    auto det = cv::dnn::readNetFromONNX((models / "det.onnx").string());
    cv::Mat detInput;
    cv::resize(full.pixels, detInput, {1280, 736});
    detInput.convertTo(detInput, CV_32FC3, 1.0 / 255);
    profile("detection 1280x736", det, cv::dnn::blobFromImage(detInput));
    const double detWhole = medianMs(repeats, [&] { engine1280.detect(full); });
    const double detNet = medianMs(repeats, [&] {
        det.setInput(cv::dnn::blobFromImage(detInput));
        det.forward();
    });
    std::printf("  detection outside the network (resize, normalise, contours, scores): %.0f ms of %.0f ms\n",
                detWhole - detNet, detWhole);
    auto rec = cv::dnn::readNetFromONNX((models / "rec.onnx").string());
    cv::Mat recInput(48, 320, CV_32FC3, cv::Scalar::all(0.5));
    profile("recognition 48x320", rec, cv::dnn::blobFromImage(recInput));
    cv::Mat wideInput(48, 1280, CV_32FC3, cv::Scalar::all(0.5));
    profile("recognition 48x1280", rec, cv::dnn::blobFromImage(wideInput));
    return 0;
}
