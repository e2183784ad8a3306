#include "ScrivelCli/CopyCheckSummary.hpp"

#include <cmath>
#include <cstdio>
#include <fstream>

#include "ScrivelCli/ScanProgressDisplay.hpp"
#include "export/CopyVerifier.hpp"

namespace scrivel::cli {

CopyCheck checkWithProgress(const std::filesystem::path& original, const std::filesystem::path& copy,
                            const ScanOptions& options, std::stop_token stop)
{
    ScanProgressDisplay display(stderr);
    CopyCheck check = CopyVerifier().check(original, copy, options.settings(),
                                           [&display](const ScanProgress& p) { display.update(p); }, stop);
    display.finish();
    return check;
}

void writeCheckReport(const CopyCheck& check, const std::string& original, const std::string& copy,
                      const std::string& path)
{
    Json report = toJson(check);
    report["original"] = original;
    report["redacted"] = copy;
    const std::string text = report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    if (path.empty()) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        return;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file)
        throw std::runtime_error(path + ": cannot be written");
}

std::string clockTime(double seconds)
{
    const long long hundredths = std::llround(std::max(0.0, seconds) * 100);
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld.%02lld", hundredths / 6000, hundredths / 100 % 60, hundredths % 100);
    return text;
}

std::string checkSummary(const CopyCheck& check, const std::string& copyName, std::size_t maximumMoments)
{
    std::string text;
    const std::string frames = std::to_string(check.framesRead) + (check.framesRead == 1 ? " frame" : " frames");
    if (check.readable.empty()) {
        text += "No readable text to hide found in the " + frames + " of " + copyName + ".\n";
    } else {
        const std::vector<ReadableMoment> moments = check.moments();
        text += "Text to hide is still readable in " + std::to_string(check.framesWithReadableText()) + " of the " +
                frames + " of " + copyName + ":\n";
        for (std::size_t i = 0; i < moments.size() && i < maximumMoments; ++i) {
            const ReadableMoment& moment = moments[i];
            std::string when = clockTime(moment.startTime);
            if (moment.frameCount > 1)
                when += "–" + clockTime(moment.endTime);
            text += "  " + when + "  " + std::string(kindDescription(moment.kind)) + " \"" + moment.text + "\"";
            if (moment.frameCount > 1)
                text += " (" + std::to_string(moment.frameCount) + " frames)";
            text += "\n";
        }
        if (moments.size() > maximumMoments)
            text += "  … and " + std::to_string(moments.size() - maximumMoments) + " more moments in the report.\n";
    }
    if (check.differences.empty()) {
        text += "Frames, size and audio match the original.\n";
    } else {
        text += "The copy is not a faithful copy of the original:\n";
        for (const std::string& difference : check.differences)
            text += "  " + difference + "\n";
    }
    for (const std::string& note : check.notes)
        text += "note: " + note + "\n";
    return text;
}

} // namespace scrivel::cli
