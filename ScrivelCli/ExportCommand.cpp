#include <cstdio>
#include <fstream>
#include <iterator>

#include "ScrivelCli/ArgumentReader.hpp"
#include "ScrivelCli/Command.hpp"
#include "ScrivelCli/ProgressDisplay.hpp"
#include "ScrivelCore/Json.hpp"
#include "ScrivelCore/SavedReview.hpp"
#include "ScrivelMedia/FileFingerprint.hpp"
#include "ScrivelMedia/MediaInspector.hpp"
#include "ScrivelMedia/VideoExporter.hpp"

namespace scrivel::cli {

namespace {

constexpr std::string_view exportHelp = R"(usage: scrivel-cli export VIDEO --result SCAN.json -o OUT.mp4 [options]
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
  --style STYLE          blur, pixelate, solid or skeleton (default blur)
  --blur-radius N        blur radius in pixels (default 24)
  --pixel-size N         pixelation cell size in pixels (default 12)
  --corner-radius N      mask corner rounding in pixels (default 0)
  --opacity F            mask opacity, 0 to 1 (default 1)
  --feather N            soft edge width in pixels (default 0)
  --padding T,R,B,L      margin around each mask in pixels (default 0,0,0,0)
  --color RRGGBB         fill colour of the solid style (default 101318)
  --no-animation         keep skeleton bars still
  --exclude-track ID     leave this track unmasked (repeatable)
  --mask X,Y,W,H,START,END
                         add a manual mask: frame fractions from the top-left,
                         times in seconds, END exclusive (repeatable)
  --show-regions         also draw the outlines of every mask
  -h, --help             show this help
)";

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error(path + ": cannot be read");
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::uint32_t parseColor(const std::string& option, std::string text)
{
    if (!text.empty() && text[0] == '#')
        text.erase(0, 1);
    if (text.size() != 6 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        throw UsageError(option + " takes six hexadecimal digits, RRGGBB");
    return static_cast<std::uint32_t>(std::stoul(text, nullptr, 16));
}

int runExport(const std::vector<std::string>& arguments, std::stop_token stop)
{
    ArgumentReader reader(arguments);
    std::string video, resultPath, reviewPath, outputPath;
    RenderSettings settings = startingRenderSettings();
    bool showRegions = false;
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
        } else if (option == "--style") {
            const std::string value = reader.takeValue(option);
            const auto style = maskStyleFromRaw(value);
            if (!style)
                throw UsageError("--style takes blur, pixelate, solid or skeleton, not '" + value + "'");
            settings.style = *style;
        } else if (option == "--blur-radius") {
            settings.blurRadius = ArgumentReader::number(option, reader.takeValue(option));
        } else if (option == "--pixel-size") {
            settings.pixelSize = ArgumentReader::number(option, reader.takeValue(option));
        } else if (option == "--corner-radius") {
            settings.cornerRadius = ArgumentReader::number(option, reader.takeValue(option));
        } else if (option == "--opacity") {
            settings.opacity = ArgumentReader::number(option, reader.takeValue(option));
        } else if (option == "--feather") {
            settings.feather = ArgumentReader::number(option, reader.takeValue(option));
        } else if (option == "--padding") {
            const auto values = ArgumentReader::numbers(option, reader.takeValue(option), 4);
            settings.padding = {values[0], values[1], values[2], values[3]};
        } else if (option == "--color") {
            settings.solidColor = parseColor(option, reader.takeValue(option));
        } else if (option == "--no-animation") {
            settings.skeletonAnimation = false;
        } else if (option == "--exclude-track") {
            settings.excludedTrackIDs.push_back(ArgumentReader::integer(option, reader.takeValue(option)));
        } else if (option == "--mask") {
            const auto values = ArgumentReader::numbers(option, reader.takeValue(option), 6);
            settings.manualMasks.push_back({"mask-" + std::to_string(settings.manualMasks.size() + 1),
                                            {values[0], values[1], values[2], values[3]}, values[4], values[5], true});
        } else if (option == "--show-regions") {
            showRegions = true;
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
    if (!reviewPath.empty() && settings != startingRenderSettings())
        throw UsageError("mask options cannot be combined with --review: the review holds its own");
    if (outputPath.empty())
        throw UsageError("missing -o OUT.mp4");

    ScanResult scanResult;
    if (!reviewPath.empty()) {
        SavedReview review = readReviewFile(reviewPath);
        // VIDEO may have moved since the review was saved; its contents may not have changed.
        checkReviewedVideo({video, review.video.sizeBytes, review.video.sha256}, stop);
        scanResult = std::move(review.scanResult);
        settings = std::move(review.renderSettings);
    } else {
        try {
            scanResult = decodeText<ScanResult>(readFile(resultPath));
        } catch (const JsonDecodeError& error) {
            throw std::runtime_error(resultPath + ": not a scan result: " + error.what());
        }
    }
    const VideoInfo info = MediaInspector::inspect(video);
    validateRenderSettings(settings, info.duration);

    ProgressDisplay display(stderr, "Exporting");
    const ExportReport report = VideoExporter::exportVideo(
        video, outputPath, scanResult, settings, [&display](double fraction) { display.update(fraction); }, stop,
        showRegions ? RegionOutlines::shown : RegionOutlines::hidden);
    display.finish();
    for (const std::string& note : report.notes)
        std::fprintf(stderr, "note: %s\n", note.c_str());
    std::printf("%s\n", outputPath.c_str());
    return success;
}

} // namespace

Command exportCommand()
{
    return {"export", "burn a scan result's masks into a copy of a video", exportHelp, runExport};
}

} // namespace scrivel::cli
