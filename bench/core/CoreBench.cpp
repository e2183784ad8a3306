// Throughput of the core's per-line and per-scan text work.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ScrivelCore/TextMatcher.hpp"
#include "ScrivelCore/TextTemplateBuilder.hpp"

namespace scrivel {
namespace {

template <class T>
const T& pick(std::mt19937& random, const std::vector<T>& list)
{
    return list[std::uniform_int_distribution<std::size_t>(0, list.size() - 1)(random)];
}

std::string digits(std::mt19937& random, int count)
{
    std::string out;
    for (int i = 0; i < count; ++i)
        out.push_back(static_cast<char>('0' + random() % 10));
    return out;
}

// Lines as a screen recording of mail, chat, documents and code shows them.
std::vector<std::string> recognisedLines(std::size_t count)
{
    std::mt19937 random(20261206);
    const std::vector<std::string> words = {"the",     "invoice", "meeting", "project", "deadline", "review",
                                            "Scrivel", "account", "password", "update",  "release",  "notes",
                                            "Acme",    "Corp",    "schedule", "budget",  "résumé",   "café"};
    const std::vector<std::string> han = {"会议", "项目", "张三", "李四", "北京", "上海", "发布", "预算", "文档", "联系人"};
    const std::vector<std::string> names = {"john.doe", "Jane.Smith", "ops", "billing", "x_y-z", "team+news"};
    const std::vector<std::string> hosts = {"example.com", "Mail.Example.ORG", "acme.co.uk", "host.io"};
    const std::vector<std::string> code = {
        "    return value * scale + offset;", "for (int i = 0; i < count; ++i) {", "}", "#include <vector>",
        "const auto token = getenv(\"API_KEY\");", "// TODO: remove before release", "if (x == nullptr) return;"};

    std::vector<std::string> lines;
    lines.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::string line;
        switch (random() % 6) {
        case 0:
        case 1:
            for (int w = 0, n = 3 + static_cast<int>(random() % 9); w < n; ++w)
                line += (w ? " " : "") + pick(random, words);
            break;
        case 2:
            for (int w = 0, n = 2 + static_cast<int>(random() % 6); w < n; ++w)
                line += pick(random, han) + (random() % 3 == 0 ? "，" : "");
            line += " " + pick(random, words);
            break;
        case 3:
            line = "From: " + pick(random, names) + "@" + pick(random, hosts) + " re: " + pick(random, words);
            break;
        case 4:
            line = random() % 2 ? "Call +1 (" + digits(random, 3) + ") " + digits(random, 3) + "-" + digits(random, 4)
                                : "电话 " + digits(random, 11) + " ext " + digits(random, 3);
            break;
        default:
            line = pick(random, code);
            break;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

void BM_TextMatcherLines(benchmark::State& state)
{
    const std::vector<std::string> lines = recognisedLines(10'000);
    ScanSettings settings;
    settings.blurHan = true;
    settings.blurEmails = true;
    settings.blurPhones = true;
    settings.customTerms = {"password", " Acme Corp "};
    std::size_t found = 0;
    for (auto _ : state) {
        found = 0;
        for (const std::string& line : lines)
            found += TextMatcher::matches(line, settings).size();
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lines.size()));
    state.counters["matches"] = static_cast<double>(found);
}
BENCHMARK(BM_TextMatcherLines)->Unit(benchmark::kMillisecond);

struct ScanInput {
    std::vector<DetectionSample> samples;
    std::vector<std::optional<MotionTransform>> motions;
};

// 9,000 samples of 40 lines: three scenes, each a long page that is read,
// scrolled in short bursts both ways, and held still in between. Boxes carry
// a little recognition jitter; a few frames have no motion estimate.
ScanInput scrollingScan()
{
    constexpr std::size_t sampleCount = 9'000;
    constexpr std::size_t linesPerSample = 40;
    constexpr std::size_t pageLines = 400;
    constexpr double pitch = 0.024;
    const std::vector<std::string> lines = recognisedLines(3 * pageLines);
    std::mt19937 random(7);
    std::normal_distribution<double> jitter(0, 0.0004);
    std::uniform_real_distribution<float> confidence(0.75f, 1.0f);

    ScanInput input;
    input.samples.reserve(sampleCount);
    double scroll = 0;
    double velocity = 0;
    for (std::size_t i = 0; i < sampleCount; ++i) {
        const std::int64_t scene = static_cast<std::int64_t>(i / 3'000);
        if (i % 3'000 == 0)
            scroll = 0;
        if (i % 60 == 0) // a new burst or a pause
            velocity = random() % 2 ? 0 : (random() % 2 ? 1 : -1) * 0.002 * (1 + random() % 3);
        scroll = std::clamp(scroll + velocity, 0.0, (pageLines - linesPerSample - 1) * pitch);
        const MotionTransform motion(1, 0, -scroll);

        DetectionSample sample{static_cast<double>(i) / 30, scene, {}};
        const auto first = static_cast<std::size_t>(scroll / pitch) + 1;
        for (std::size_t k = first; k < first + linesPerSample; ++k) {
            const std::string& text = lines[scene * pageLines + k];
            DetectedRegion region;
            const NormalizedRect canonical{0.04, 0.004 + k * pitch, std::min(0.9, 0.012 * text.size()), 0.018};
            region.rect = motion.applying(canonical);
            region.rect.x += jitter(random);
            region.rect.y += jitter(random);
            region.rect.width *= 1 + jitter(random);
            region.confidence = confidence(random);
            region.text = text;
            for (const TextMatcher::Match& match : TextMatcher::matches(text, [] {
                     ScanSettings s;
                     s.blurEmails = s.blurPhones = true;
                     return s;
                 }())) {
                region.selections.push_back({{0.1, 0, 0.5, 1}, match.kind, text.substr(0, 8)});
            }
            sample.regions.push_back(std::move(region));
        }
        input.samples.push_back(std::move(sample));
        input.motions.push_back(i % 97 == 13 ? std::nullopt : std::optional(motion));
    }
    return input;
}

void BM_TemplateBuilderScrollingScan(benchmark::State& state)
{
    const ScanInput input = scrollingScan();
    std::size_t templates = 0;
    for (auto _ : state) {
        const auto result = TextTemplateBuilder(input.samples, input.motions).run();
        templates = result.size();
        benchmark::DoNotOptimize(result.data());
    }
    state.counters["samples"] = static_cast<double>(input.samples.size());
    state.counters["regions"] = static_cast<double>(input.samples.size() * 40);
    state.counters["templates"] = static_cast<double>(templates);
}
BENCHMARK(BM_TemplateBuilderScrollingScan)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace scrivel
