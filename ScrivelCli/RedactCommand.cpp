#include <cstdio>
#include <filesystem>
#include <string>

#include "ScrivelCli/ArgumentReader.hpp"
#include "ScrivelCli/BatchRedaction.hpp"
#include "ScrivelCli/Command.hpp"
#include "ScrivelCli/CopyCheckSummary.hpp"
#include "ScrivelCli/Redaction.hpp"

namespace scrivel::cli {

namespace {

std::string redactHelp()
{
    return std::string(R"(usage: scrivel-cli redact VIDEO -o OUT.mp4 [--verify] [scan options] [mask options]
       scrivel-cli redact --batch LIST -o OUTDIR [--jobs N] [--verify] [options]

Scans VIDEO and burns the masks into a copy at OUT.mp4 in one run: the same
as `scrivel-cli scan` followed by `scrivel-cli export`. The source is never
overwritten. Prints the output path and how many regions were masked.
Ctrl-C cancels and leaves nothing behind.

With --verify the copy is then checked as `scrivel-cli verify` does; when
text to hide is still readable in it or it is not a faithful copy, the copy
is kept, what was found is shown, and the exit status is 3.

With --batch, every recording LIST names is redacted to OUTDIR/NAME-scrivel.mp4.
LIST is a folder (its .mp4, .mov and .m4v files) or a text file with one path
a line (blank lines and lines starting with # skipped; relative paths are
taken from the list's folder). A recording whose copy exists is skipped, so
running the same batch again resumes it; one that fails is reported and the
others go on. Each recording ends in one JSON line (path, output, status,
regions, seconds, and the check's result with --verify) on standard output or
appended to --report. Ctrl-C stops the batch: finished copies stay, nothing
half-written is left. Exit status: 1 when a recording failed or the batch was
stopped, else 3 when a check found something, else 0.

options:
  -o, --output PATH      the redacted video, or with --batch the folder of copies
  --save-result FILE     also keep the scan result (JSON) at FILE (one video only)
  --verify               check the copy once it is written
  --report FILE          with --verify, the check's report (JSON) goes to FILE;
                         with --batch, the JSON lines are appended to FILE
  --batch LIST           redact every recording LIST names
  --jobs N               with --batch, recordings redacted at once (default 1)
  -h, --help             show this help

)") + std::string(ScanOptions::help) +
           "\n" + std::string(ExportOptions::help);
}

int runRedact(const std::vector<std::string>& arguments, std::stop_token stop)
{
    ArgumentReader reader(arguments);
    RedactionPlan plan;
    std::string video, outputPath, batchList, reportPath;
    int jobs = 1;
    bool jobsGiven = false;
    while (!reader.atEnd()) {
        if (!reader.nextIsOption()) {
            if (!video.empty())
                throw UsageError("redact takes one video; use --batch for several");
            video = reader.takePositional();
            continue;
        }
        const std::string option = reader.takeOption();
        if (plan.scan.take(option, reader) || plan.mask.take(option, reader))
            continue;
        if (option == "-o" || option == "--output") {
            outputPath = reader.takeValue(option);
        } else if (option == "--save-result") {
            plan.savedResult = reader.takeValue(option);
        } else if (option == "--verify") {
            plan.verify = true;
        } else if (option == "--report") {
            reportPath = reader.takeValue(option);
        } else if (option == "--batch") {
            batchList = reader.takeValue(option);
        } else if (option == "--jobs") {
            const long long value = ArgumentReader::integer(option, reader.takeValue(option));
            if (value < 1 || value > 64)
                throw UsageError("--jobs takes a whole number from 1 to 64");
            jobs = static_cast<int>(value);
            jobsGiven = true;
        } else if (option == "--result") {
            throw UsageError("redact makes its own scan result; use export to draw a saved one");
        } else {
            throw UsageError("unknown option " + option);
        }
    }

    if (!batchList.empty()) {
        if (!video.empty())
            throw UsageError("give either VIDEO or --batch LIST, not both");
        if (outputPath.empty())
            throw UsageError("missing -o OUTDIR");
        if (!plan.savedResult.empty())
            throw UsageError("--save-result keeps the result of one video; it cannot be used with --batch");
        return runBatch(BatchOptions{batchList, outputPath, jobs, reportPath}, plan, stop);
    }
    if (jobsGiven)
        throw UsageError("--jobs needs --batch");
    if (video.empty())
        throw UsageError("missing VIDEO");
    if (outputPath.empty())
        throw UsageError("missing -o OUT.mp4");
    if (!reportPath.empty() && !plan.verify)
        throw UsageError("--report needs --verify or --batch");

    const RedactionOutcome outcome = redactRecording(video, outputPath, plan, ProgressShown::yes, stop);
    std::printf("%s\n", outputPath.c_str());
    std::printf("masked %zu regions (%zu masks) in %zu of %lld frames, %zu tracks\n", outcome.masks.regions,
                outcome.masks.masks, outcome.masks.frames, static_cast<long long>(outcome.result.sampleCount),
                outcome.result.tracks().size());
    std::fflush(stdout);
    if (!outcome.check)
        return success;
    if (!reportPath.empty())
        writeCheckReport(*outcome.check, video, outputPath, reportPath);
    const std::string summary = checkSummary(*outcome.check, outputPath);
    std::fwrite(summary.data(), 1, summary.size(), stderr);
    if (outcome.check->clean())
        return success;
    std::fprintf(stderr, "The redacted copy is kept at %s; look at the moments above before sharing it.\n",
                 outputPath.c_str());
    return checkFailed;
}

} // namespace

Command redactCommand()
{
    static const std::string help = redactHelp();
    return {"redact", "scan a video and write a redacted copy in one run", help, runRedact};
}

} // namespace scrivel::cli
