#pragma once

#include <cstdio>
#include <filesystem>
#include <stop_token>
#include <string>

#include "ScrivelCli/ScanOptions.hpp"
#include "ScrivelCore/CopyCheck.hpp"

namespace scrivel::cli {

// Checks `copy` against `original` with the scan options' kinds, terms and
// quality (always reading every frame afresh), drawing progress on stderr.
CopyCheck checkWithProgress(const std::filesystem::path& original, const std::filesystem::path& copy,
                            const ScanOptions& options, std::stop_token stop);

// The short human account of a check: its verdict, then the moments where
// text is still readable (at most `maximumMoments` of them) and the ways the
// copy differs. Ends with a line break.
std::string checkSummary(const CopyCheck& check, const std::string& copyName, std::size_t maximumMoments = 20);

// The whole report of a check as JSON, naming both files: to `path`, or to
// standard output when `path` is empty.
void writeCheckReport(const CopyCheck& check, const std::string& original, const std::string& copy,
                      const std::string& path);

// "1:02.50": minutes, seconds to the hundredth.
std::string clockTime(double seconds);

} // namespace scrivel::cli
