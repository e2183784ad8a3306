#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>

#include "ScrivelCli/ExportOptions.hpp"
#include "ScrivelCli/ScanOptions.hpp"
#include "ScrivelCore/CopyCheck.hpp"
#include "ScrivelCore/ScanRecords.hpp"

namespace scrivel::cli {

// What `redact` does to one recording, whether alone or in a batch.
struct RedactionPlan {
    ScanOptions scan;
    ExportOptions mask;
    bool verify = false;                       // check the copy once it is written
    std::filesystem::path savedResult;         // keep the scan result here when not empty
};

struct MaskCount {
    std::size_t regions = 0; // regions with at least one mask
    std::size_t masks = 0;   // mask rectangles
    std::size_t frames = 0;  // frames with at least one mask

    bool operator==(const MaskCount&) const = default;
};

struct RedactionOutcome {
    ScanResult result;
    MaskCount masks;
    std::optional<CopyCheck> check; // when the plan asked for it

    bool operator==(const RedactionOutcome&) const = default;
};

enum class ProgressShown { no, yes };

// The masks the export draws: every region's selections, excluded tracks left out.
MaskCount countMasks(const ScanResult& result, const RenderSettings& settings);

// Scans `video`, writes the redacted copy at `output` and, when planned,
// checks it. Fails before scanning when the mask settings are invalid for the
// video or `output` names the source. Throws what each step throws; a copy
// that was written stays when only its check fails to run.
RedactionOutcome redactRecording(const std::filesystem::path& video, const std::filesystem::path& output,
                                 const RedactionPlan& plan, ProgressShown progress, std::stop_token stop);

} // namespace scrivel::cli
