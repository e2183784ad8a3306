#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <unistd.h>

#include "ScrivelCli/ArgumentReader.hpp"
#include "ScrivelCli/Command.hpp"
#include "ScrivelCli/ScanOptions.hpp"
#include "ScrivelCore/Errors.hpp"
#include "ScrivelCore/Json.hpp"

namespace scrivel::cli {

namespace {

std::string redactHelp()
{
    return std::string(R"(usage: scrivel-cli redact VIDEO -o OUT.mp4 [scan options] [export options]

Scans VIDEO and burns the masks into a copy at OUT.mp4 in one run: the same
as `scrivel-cli scan` followed by `scrivel-cli export`. The source is never
overwritten. Prints the output path and how many regions were masked.
Ctrl-C cancels and leaves nothing behind.

options:
  -o, --output FILE      where to write the redacted video
  --save-result FILE     also keep the scan result (JSON) at FILE
  -h, --help             show this help

)") + std::string(ScanOptions::help) +
           "\nexport options: every option of `scrivel-cli export` except --result and -o\n"
           "(see `scrivel-cli export --help`).\n";
}

// The export command's options, read from its help so that the two commands
// cannot drift apart: a listed option followed by an upper-case placeholder
// ("--style STYLE") takes a value, one followed by its description is a flag.
enum class ExportOption { unknown, flag, takesValue };

ExportOption exportOption(const std::string& option)
{
    const std::string_view help = exportCommand().help;
    for (std::size_t at = help.find(option); at != std::string_view::npos; at = help.find(option, at + 1)) {
        const std::size_t end = at + option.size();
        const bool startsWord = at > 0 && (help[at - 1] == ' ' || help[at - 1] == ',');
        if (!startsWord || end >= help.size())
            continue;
        if (help[end] == ' ' && end + 1 < help.size() && std::isupper(static_cast<unsigned char>(help[end + 1])))
            return ExportOption::takesValue;
        if (help[end] == ' ' || help[end] == '\n')
            return ExportOption::flag;
    }
    return ExportOption::unknown;
}

// A scan result kept for the export step, removed when the run ends.
class TemporaryResult {
public:
    TemporaryResult()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "scrivel-redact-XXXXXX.json").string();
        const int descriptor = ::mkstemps(pattern.data(), 5);
        if (descriptor < 0)
            throw PlatformError("Scrivel could not create a temporary file for the scan result.");
        ::close(descriptor);
        path_ = pattern;
    }
    ~TemporaryResult()
    {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    TemporaryResult(const TemporaryResult&) = delete;
    TemporaryResult& operator=(const TemporaryResult&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void writeResult(const ScanResult& result, const std::string& path)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << toJson(result).dump() << '\n';
    file.close();
    if (!file)
        throw std::runtime_error(path + ": cannot be written");
}

struct MaskCount {
    std::size_t regions = 0; // regions with at least one mask
    std::size_t masks = 0;   // mask rectangles
    std::size_t frames = 0;  // frames with at least one mask
};

MaskCount countMasks(const ScanResult& result, const std::vector<std::int64_t>& excludedTracks)
{
    MaskCount count;
    for (const DetectionSample& sample : result.samples) {
        std::size_t inFrame = 0;
        for (const DetectedRegion& region : sample.regions) {
            if (std::find(excludedTracks.begin(), excludedTracks.end(), region.trackID) != excludedTracks.end())
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

int runRedact(const std::vector<std::string>& arguments, std::stop_token stop)
{
    ArgumentReader reader(arguments);
    ScanOptions options;
    std::string video, outputPath, savedResultPath;
    std::vector<std::string> exportArguments;
    std::vector<std::int64_t> excludedTracks;
    while (!reader.atEnd()) {
        if (!reader.nextIsOption()) {
            if (!video.empty())
                throw UsageError("redact takes one video");
            video = reader.takePositional();
            continue;
        }
        const std::string option = reader.takeOption();
        if (options.take(option, reader))
            continue;
        if (option == "-o" || option == "--output") {
            outputPath = reader.takeValue(option);
        } else if (option == "--save-result") {
            savedResultPath = reader.takeValue(option);
        } else if (option == "--result") {
            throw UsageError("redact makes its own scan result; use export to draw a saved one");
        } else {
            // Checked by name now, by value when the export starts.
            switch (exportOption(option)) {
            case ExportOption::unknown:
                throw UsageError("unknown option " + option);
            case ExportOption::flag:
                exportArguments.push_back(option);
                break;
            case ExportOption::takesValue:
                exportArguments.push_back(option);
                exportArguments.push_back(reader.takeValue(option));
                if (option == "--exclude-track")
                    excludedTracks.push_back(ArgumentReader::integer(option, exportArguments.back()));
                break;
            }
        }
    }
    if (video.empty())
        throw UsageError("missing VIDEO");
    if (outputPath.empty())
        throw UsageError("missing -o OUT.mp4");
    // Caught again by the exporter, but not worth a whole scan first.
    std::error_code error;
    if (std::filesystem::equivalent(video, outputPath, error))
        throw ScrivelError::outputMatchesSource();

    const ScanResult result = scanWithProgress(video, options, stop);
    std::optional<TemporaryResult> temporary;
    std::string resultPath = savedResultPath;
    if (resultPath.empty()) {
        temporary.emplace();
        resultPath = temporary->path();
    }
    writeResult(result, resultPath);

    exportArguments.insert(exportArguments.end(), {video, "--result", resultPath, "-o", outputPath});
    if (const int code = exportCommand().run(exportArguments, stop); code != success)
        return code;

    const MaskCount count = countMasks(result, excludedTracks);
    std::printf("masked %zu regions (%zu masks) in %zu of %lld frames, %zu tracks\n", count.regions, count.masks,
                count.frames, static_cast<long long>(result.sampleCount), result.tracks().size());
    return success;
}

} // namespace

Command redactCommand()
{
    static const std::string help = redactHelp();
    return {"redact", "scan a video and write a redacted copy in one run", help, runRedact};
}

} // namespace scrivel::cli
