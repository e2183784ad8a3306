#pragma once

// export/: the redacted copy. VideoExporter decodes, draws the masks and
// encodes a new MP4 with the audio copied; CopyVerifier reads the copy again
// to check that nothing readable is left.

#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"

namespace scrivel {

// What an export did beyond the plain copy, for the user to read.
struct ExportReport {
    // One line per audio stream that MP4 cannot carry as it is and that was
    // therefore re-encoded to AAC.
    std::vector<std::string> notes;

    bool operator==(const ExportReport&) const = default;
};

// Writes the redacted copy of a video: every frame decoded, drawn through
// VideoComposition and encoded as H.264 (libx264, CRF 18, yuv420p) at the
// source's size, timing and upright orientation; every audio stream's
// packets copied unchanged. The file is built in a fresh folder beside the
// destination and moved into place with rename(2); the source is never
// written, and the destination changes only when the new file is complete.
// Whether the review outlines of the masks are burned in as well.
enum class RegionOutlines { hidden, shown };

struct VideoExporter {
    // Fraction done, 0...1; called at most every 150 ms, never above 0.99
    // until the file is in place, then once with 1.0. Called on the
    // exporting thread.
    using Progress = std::function<void(double)>;

    // Throws OperationCancelled when `stop` is requested (checked before
    // every frame and before the final move), ScrivelError::outputMatchesSource,
    // ScrivelError::exportSessionUnavailable when no decoder, encoder or muxer
    // can be set up for the file, ScrivelError::exportFailed with the
    // library's or the system's text when decoding, encoding or writing
    // fails midway (a damaged source, a full disk), ScrivelError::noVideoTrack
    // for a file without video or without a single decodable frame, and
    // PlatformError for file-system failures (the failed path named in the
    // message: a destination folder that cannot be written, a destination
    // that is a folder, an unreadable source, frames too large to process).
    static ExportReport exportVideo(const std::filesystem::path& sourcePath, const std::filesystem::path& outputPath,
                                    const ScanResult& scanResult, const RenderSettings& renderSettings,
                                    const Progress& progress, std::stop_token stop = {},
                                    RegionOutlines outlines = RegionOutlines::hidden);

    // Throws ScrivelError::outputMatchesSource when `outputPath` names the
    // source file through any path: the same path once symbolic links are
    // resolved, or the same device and inode (a hard link).
    static void validateOutput(const std::filesystem::path& sourcePath, const std::filesystem::path& outputPath);

    // The libx264 preset the exporter encodes with.
    static constexpr const char* encoderPreset = "fast";
};

} // namespace scrivel
