#pragma once

#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "ScrivelCli/ArgumentReader.hpp"
#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"

namespace scrivel::cli {

// What to look for and how closely: the options `scan` and `redact` share.
// With no kind chosen, a scan hides what a screen recording usually leaks:
// e-mail addresses, phone numbers and Han text. Terms are always added to
// whatever kinds are on.
struct ScanOptions {
    static constexpr float defaultConfidence = 0.3F;

    bool allText = false;
    bool han = false;
    bool emails = false;
    bool phones = false;
    std::vector<std::string> terms;
    OCRQuality quality = OCRQuality::balanced;
    float confidence = defaultConfidence;
    // Recognize every frame from scratch instead of only what changed.
    bool fullRecognition = false;

    // Takes the value of `option` (already read from `reader`) when it is a
    // scan option; false for any other option. Throws UsageError.
    bool take(const std::string& option, ArgumentReader& reader);

    ScanSettings settings() const;

    // The options' lines for a command's --help.
    static const std::string_view help;
};

// Scans `video` with the options' settings and recognition mode, drawing the
// phase, frames and regions on stderr.
ScanResult scanWithProgress(const std::string& video, const ScanOptions& options, std::stop_token stop);

} // namespace scrivel::cli
