#include <cstdio>
#include <string>

#include "ScrivelCli/ArgumentReader.hpp"
#include "ScrivelCli/Command.hpp"
#include "ScrivelCli/CopyCheckSummary.hpp"
#include "ScrivelCli/ScanOptions.hpp"

namespace scrivel::cli {

namespace {

const std::string verifyHelp = std::string(R"(usage: scrivel-cli verify ORIGINAL REDACTED [scan options] [--report FILE.json]

Checks a redacted copy before it is shared. Reads the text of every frame of
REDACTED from scratch, looks for what the scan options would hide, and
reports every frame where such text is still readable: its time, kind, the
text read and its box. Also checks that REDACTED is otherwise a faithful copy
of ORIGINAL: the same frame count and frame times, the same displayed size,
and audio packets identical to the original's.

A short account goes to standard error; the whole report, as JSON, to
standard output or to FILE.json. Exit status: 0 when the copy is clean, 3
when text is still readable or the copy is not faithful, 1 when the check
could not be made. Ctrl-C cancels.

options:
  --report FILE          write the report (JSON) to FILE instead of stdout
  -h, --help             show this help

)") + std::string(ScanOptions::help);

int runVerify(const std::vector<std::string>& arguments, std::stop_token stop)
{
    ArgumentReader reader(arguments);
    ScanOptions options;
    std::vector<std::string> videos;
    std::string reportPath;
    while (!reader.atEnd()) {
        if (!reader.nextIsOption()) {
            if (videos.size() == 2)
                throw UsageError("verify takes two videos: the original and the redacted copy");
            videos.push_back(reader.takePositional());
            continue;
        }
        const std::string option = reader.takeOption();
        if (options.take(option, reader))
            continue;
        if (option == "--report")
            reportPath = reader.takeValue(option);
        else
            throw UsageError("unknown option " + option);
    }
    if (videos.empty())
        throw UsageError("missing ORIGINAL and REDACTED");
    if (videos.size() == 1)
        throw UsageError("missing REDACTED");

    const CopyCheck check = checkWithProgress(videos[0], videos[1], options, stop);
    writeCheckReport(check, videos[0], videos[1], reportPath);
    const std::string summary = checkSummary(check, videos[1]);
    std::fwrite(summary.data(), 1, summary.size(), stderr);
    return check.clean() ? success : checkFailed;
}

} // namespace

Command verifyCommand()
{
    return {"verify", "check that a redacted copy shows no text to hide", verifyHelp, runVerify};
}

} // namespace scrivel::cli
