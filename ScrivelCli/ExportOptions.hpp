#pragma once

#include <filesystem>
#include <stop_token>
#include <string>
#include <string_view>

#include "ScrivelCli/ArgumentReader.hpp"
#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"

namespace scrivel::cli {

// How the masks are drawn: the options `export` and `redact` share.
struct ExportOptions {
    RenderSettings settings = startingRenderSettings();
    bool showRegions = false;

    // Takes the value of `option` (already read from `reader`) when it is an
    // export option; false for any other option. Throws UsageError.
    bool take(const std::string& option, ArgumentReader& reader);

    // The options' lines for a command's --help.
    static const std::string_view help;
};

// Writes the redacted copy with a progress bar on stderr; the export's
// notes (re-encoded audio) follow it there.
void exportWithProgress(const std::filesystem::path& video, const std::filesystem::path& output,
                        const ScanResult& result, const ExportOptions& options, std::stop_token stop);

} // namespace scrivel::cli
