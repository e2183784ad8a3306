#include "ScrivelCli/Redaction.hpp"

#include <algorithm>
#include <fstream>

#include "ScrivelCli/CopyCheckSummary.hpp"
#include "ScrivelCore/Json.hpp"
#include "export/CopyVerifier.hpp"
#include "decode/MediaInspector.hpp"
#include "export/VideoExporter.hpp"
#include "scan/VideoScanner.hpp"

namespace scrivel::cli {

namespace {

void writeResult(const ScanResult& result, const std::filesystem::path& path)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << toJson(result).dump() << '\n';
    file.close();
    if (!file)
        throw std::runtime_error(path.string() + ": cannot be written");
}

} // namespace

MaskCount countMasks(const ScanResult& result, const RenderSettings& settings)
{
    const auto& excluded = settings.excludedTrackIDs;
    MaskCount count;
    for (const DetectionSample& sample : result.samples) {
        std::size_t inFrame = 0;
        for (const DetectedRegion& region : sample.regions) {
            if (std::find(excluded.begin(), excluded.end(), region.trackID) != excluded.end())
                continue;
            const std::size_t masks = region.selections.size();
            count.regions += masks > 0 ? 1 : 0;
            inFrame += masks;
        }
        count.masks += inFrame;
        count.frames += inFrame > 0 ? 1 : 0;
    }
    return count;
}

RedactionOutcome redactRecording(const std::filesystem::path& video, const std::filesystem::path& output,
                                 const RedactionPlan& plan, ProgressShown progress, std::stop_token stop)
{
    // Both are checked again by the exporter, but neither is worth a whole scan first.
    VideoExporter::validateOutput(video, output);
    const VideoInfo info = MediaInspector::inspect(video);
    validateRenderSettings(plan.mask.settings, info.duration);

    RedactionOutcome outcome;
    if (progress == ProgressShown::yes) {
        outcome.result = scanWithProgress(video.string(), plan.scan, stop);
    } else {
        const VideoScanner scanner(VideoScanner::Options{plan.scan.fullRecognition});
        outcome.result = scanner.scan(video, plan.scan.settings(), {}, stop);
    }
    if (!plan.savedResult.empty())
        writeResult(outcome.result, plan.savedResult);

    if (progress == ProgressShown::yes)
        exportWithProgress(video, output, outcome.result, plan.mask, stop);
    else
        VideoExporter::exportVideo(video, output, outcome.result, plan.mask.settings, {}, stop,
                                   plan.mask.showRegions ? RegionOutlines::shown : RegionOutlines::hidden);
    outcome.masks = countMasks(outcome.result, plan.mask.settings);

    if (plan.verify) {
        if (progress == ProgressShown::yes)
            outcome.check = checkWithProgress(video, output, plan.scan, stop);
        else
            outcome.check = CopyVerifier().check(video, output, plan.scan.settings(), {}, stop);
    }
    return outcome;
}

} // namespace scrivel::cli
