#include "ScrivelCore/ScanRecords.hpp"

#include <cstddef>
#include <map>

namespace scrivel {

std::vector<NormalizedRect> DetectedRegion::maskRects() const
{
    std::vector<NormalizedRect> rects;
    rects.reserve(selections.size());
    for (const TextSelection& selection : selections) {
        const NormalizedRect& s = selection.rect;
        rects.push_back({rect.x + rect.width * s.x, rect.y + rect.height * s.y, rect.width * s.width,
                         rect.height * s.height});
    }
    return rects;
}

namespace {

// Running totals for one track id while the samples are visited.
struct Summary {
    std::map<std::string, std::int64_t> texts;
    std::map<std::string, std::int64_t> selectedTexts;
    std::int64_t count = 0;
    float confidence = 0;
    double start = 0;
    double end = 0;
};

// The most frequent key; a tie goes to the key that sorts first, because a
// later key only wins with a strictly greater count. Keys compare bytewise.
std::string mostFrequent(const std::map<std::string, std::int64_t>& counts)
{
    const std::pair<const std::string, std::int64_t>* best = nullptr;
    for (const auto& entry : counts) {
        if (best == nullptr || entry.second > best->second)
            best = &entry;
    }
    return best ? best->first : std::string();
}

std::string joinedSelectionTexts(const DetectedRegion& region)
{
    static constexpr const char* separator = " \u00B7 ";
    std::string joined;
    for (std::size_t i = 0; i < region.selections.size(); ++i) {
        if (i > 0)
            joined += separator;
        joined += region.selections[i].text;
    }
    return joined;
}

} // namespace

std::vector<DetectionTrack> ScanResult::tracks() const
{
    std::map<std::int64_t, Summary> summaries;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const DetectionSample& sample = samples[i];
        if (sample.regions.empty())
            continue;
        const double nextTime = i + 1 < samples.size() ? samples[i + 1].time : duration;
        for (const DetectedRegion& region : sample.regions) {
            auto [it, inserted] = summaries.try_emplace(region.trackID);
            Summary& summary = it->second;
            if (inserted)
                summary.start = sample.time;
            summary.texts[region.text] += 1;
            summary.selectedTexts[joinedSelectionTexts(region)] += 1;
            summary.count += 1;
            summary.confidence += region.confidence;
            summary.end = nextTime;
        }
    }

    std::vector<DetectionTrack> result;
    result.reserve(summaries.size());
    for (const auto& [id, summary] : summaries) {
        result.push_back({
            .id = id,
            .text = mostFrequent(summary.texts),
            .selectedText = mostFrequent(summary.selectedTexts),
            .frameCount = summary.count,
            .confidence = summary.confidence / static_cast<float>(summary.count),
            .startTime = summary.start,
            .endTime = summary.end,
        });
    }
    return result;
}

} // namespace scrivel
