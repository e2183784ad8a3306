#include <cstdio>
#include <fstream>
#include <iterator>

#include "ScrivelCli/ArgumentReader.hpp"
#include "ScrivelCli/Command.hpp"
#include "ScrivelCli/ExportOptions.hpp"
#include "ScrivelCore/Json.hpp"
#include "ScrivelCore/SavedReview.hpp"
#include "decode/FileFingerprint.hpp"
#include "decode/MediaInspector.hpp"

namespace scrivel::cli {

namespace {

const std::string exportHelp = std::string(R"(usage: scrivel-cli export VIDEO --result SCAN.json -o OUT.mp4 [options]
       scrivel-cli export VIDEO --review REVIEW.scrivel -o OUT.mp4 [--show-regions]

Burns the masks of a scan result into a copy of VIDEO. The copy is H.264 in
MP4 with the source's size, frame timing and audio; the source is never
overwritten. Ctrl-C cancels and leaves nothing behind.

options:
  --result FILE          scan result (JSON) whose masks are drawn
  --review FILE          a review saved by the app or by `scan --save-review`:
                         its scan, mask style, exclusions and manual masks are
                         drawn; VIDEO must be the recording it was made from
  -o, --output FILE      where to write the redacted video
  -h, --help             show this help

)") + std::string(ExportOptions::help);

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error(path + ": cannot be read");
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

int runExport(const std::vector<std::string>& arguments, std::stop_token stop)
{
    ArgumentReader reader(arguments);
    std::string video, resultPath, reviewPath, outputPath;
    ExportOptions options;
    while (!reader.atEnd()) {
        if (!reader.nextIsOption()) {
            if (!video.empty())
                throw UsageError("export takes one video");
            video = reader.takePositional();
            continue;
        }
        const std::string option = reader.takeOption();
        if (option == "--result") {
            resultPath = reader.takeValue(option);
        } else if (option == "--review") {
            reviewPath = reader.takeValue(option);
        } else if (option == "-o" || option == "--output") {
            outputPath = reader.takeValue(option);
        } else if (options.take(option, reader)) {
            continue;
        } else {
            throw UsageError("unknown option " + option);
        }
    }
    if (video.empty())
        throw UsageError("missing VIDEO");
    if (resultPath.empty() && reviewPath.empty())
        throw UsageError("missing --result SCAN.json or --review REVIEW.scrivel");
    if (!resultPath.empty() && !reviewPath.empty())
        throw UsageError("--result and --review cannot be combined");
    // A review carries its own mask settings; mixing in others would draw
    // something the reviewer never saw.
    if (!reviewPath.empty() && options.settings != startingRenderSettings())
        throw UsageError("mask options cannot be combined with --review: the review holds its own");
    if (outputPath.empty())
        throw UsageError("missing -o OUT.mp4");

    ScanResult scanResult;
    if (!reviewPath.empty()) {
        SavedReview review = readReviewFile(reviewPath);
        // VIDEO may have moved since the review was saved; its contents may not have changed.
        checkReviewedVideo({video, review.video.sizeBytes, review.video.sha256}, stop);
        scanResult = std::move(review.scanResult);
        options.settings = std::move(review.renderSettings);
    } else {
        try {
            scanResult = decodeText<ScanResult>(readFile(resultPath));
        } catch (const JsonDecodeError& error) {
            throw std::runtime_error(resultPath + ": not a scan result: " + error.what());
        }
    }
    const VideoInfo info = MediaInspector::inspect(video);
    validateRenderSettings(options.settings, info.duration);

    exportWithProgress(video, outputPath, scanResult, options, stop);
    std::printf("%s\n", outputPath.c_str());
    return success;
}

} // namespace

Command exportCommand()
{
    return {"export", "burn a scan result's masks into a copy of a video", exportHelp, runExport};
}

} // namespace scrivel::cli
