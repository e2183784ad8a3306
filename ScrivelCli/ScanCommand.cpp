#include <cstdio>
#include <fstream>
#include <string>

#include "ScrivelCli/ArgumentReader.hpp"
#include "ScrivelCli/Command.hpp"
#include "ScrivelCli/ScanOptions.hpp"
#include "ScrivelCore/Json.hpp"
#include "ScrivelCore/SavedReview.hpp"
#include "decode/FileFingerprint.hpp"

namespace scrivel::cli {

namespace {

const std::string scanHelp = std::string(R"(usage: scrivel-cli scan VIDEO [-o RESULT.json] [--save-review REVIEW.scrivel] [options]

Reads the text on every frame of VIDEO, decides what to hide and follows it
through the video. Writes the scan result as JSON to RESULT.json, or to
standard output without -o; `scrivel-cli export` draws it into a copy of the
video. Progress goes to standard error. Ctrl-C cancels and writes nothing.

options:
  -o, --output FILE      where to write the scan result (JSON)
  --save-review FILE     also save the scan as a review (.scrivel) that the
                         app opens and `export --review` renders; without
                         -o the scan result is then not written separately
  -h, --help             show this help

)") + std::string(ScanOptions::help);

int runScan(const std::vector<std::string>& arguments, std::stop_token stop)
{
    ArgumentReader reader(arguments);
    ScanOptions options;
    std::string video, outputPath, reviewPath;
    while (!reader.atEnd()) {
        if (!reader.nextIsOption()) {
            if (!video.empty())
                throw UsageError("scan takes one video");
            video = reader.takePositional();
            continue;
        }
        const std::string option = reader.takeOption();
        if (options.take(option, reader))
            continue;
        if (option == "-o" || option == "--output")
            outputPath = reader.takeValue(option);
        else if (option == "--save-review")
            reviewPath = reader.takeValue(option);
        else
            throw UsageError("unknown option " + option);
    }
    if (video.empty())
        throw UsageError("missing VIDEO");

    const ScanResult result = scanWithProgress(video, options, stop);
    if (!reviewPath.empty()) {
        const SavedReview review{reviewedVideo(video, stop), options.settings(), result, startingRenderSettings()};
        writeReviewFile(reviewPath, review);
        std::fprintf(stderr, "review saved to %s\n", reviewPath.c_str());
    }
    const std::string text = toJson(result).dump() + "\n";
    if (outputPath.empty() && !reviewPath.empty()) {
        // the review holds the result
    } else if (outputPath.empty()) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    } else {
        std::ofstream file(outputPath, std::ios::binary | std::ios::trunc);
        file << text;
        file.close();
        if (!file)
            throw std::runtime_error(outputPath + ": cannot be written");
    }
    std::fprintf(stderr, "%lld frames, %lld regions, %zu tracks\n", static_cast<long long>(result.sampleCount),
                 static_cast<long long>(result.totalRegions), result.tracks().size());
    return success;
}

} // namespace

Command scanCommand()
{
    return {"scan", "find the text to hide in a video and write the scan result", scanHelp, runScan};
}

} // namespace scrivel::cli
