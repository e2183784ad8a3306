#pragma once

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "ScrivelCli/Redaction.hpp"

namespace scrivel::cli {

// One recording of a batch and the copy it becomes.
struct BatchItem {
    std::filesystem::path input;
    std::filesystem::path output;
    // Why it cannot be redacted as listed (another recording has the same
    // output name); reported as failed without being opened.
    std::optional<std::string> problem;

    bool operator==(const BatchItem&) const = default;
};

// The recordings a batch names. `list` is either a folder, whose MP4, MOV
// and M4V files are taken by name (copies a batch wrote there, NAME-scrivel.mp4,
// left out), or a text file of paths, one a line; blank lines and lines
// starting with '#' are skipped and relative paths are taken from the list's
// folder. Throws std::runtime_error naming the list when it cannot be read.
std::vector<std::filesystem::path> batchInputs(const std::filesystem::path& list);

// OUTDIR/NAME-scrivel.mp4 for each input, in order; the second and later
// inputs that would share an output are given a problem instead.
std::vector<BatchItem> planBatch(const std::vector<std::filesystem::path>& inputs,
                                 const std::filesystem::path& outputFolder);

struct BatchOptions {
    std::filesystem::path list;
    std::filesystem::path outputFolder;
    int jobs = 1; // recordings redacted at once
    // Where the JSON lines go (appended, so a resumed batch keeps the lines
    // of the run before); standard output when empty.
    std::filesystem::path report;
};

// Redacts every recording of the batch with `plan`, `jobs` at a time. A
// recording whose copy exists is skipped, so running the same batch again
// resumes it; one that fails is reported and the others go on. Once `stop`
// is requested no recording starts, those in progress end cancelled and
// leave no file. Each recording ends in one JSON line: path, output, status
// ("redacted", "skipped", "failed" or "cancelled"), and what was done.
// Returns the exit code: failure when a recording failed or the batch was
// cancelled, checkFailed when a check found something, success otherwise.
int runBatch(const BatchOptions& options, const RedactionPlan& plan, std::stop_token stop);

} // namespace scrivel::cli
