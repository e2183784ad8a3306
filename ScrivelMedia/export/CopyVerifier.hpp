#pragma once

#include <filesystem>
#include <functional>
#include <stop_token>

#include "ScrivelCore/CopyCheck.hpp"
#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"
#include "scan/ScanProgress.hpp"

namespace scrivel {

// Checks a redacted copy before it is shared: reads the text of every frame
// of the copy afresh, keeps what the scan settings would hide, and compares
// the copy's container with the original's (frame count and times, displayed
// size, audio packets). One verifier may check several copies in turn.
class CopyVerifier {
public:
    // Reads every frame of a video on its own, without tracking: each sample
    // holds exactly that frame's readings.
    using FrameReader = std::function<ScanResult(const std::filesystem::path& video, const ScanSettings& settings,
                                                 const ScanProgressCallback& progress, std::stop_token stop)>;

    // Full recognition of every frame with the product's recognizer, one
    // frame in flight per processor (at most 4): nothing else runs beside it.
    CopyVerifier();
    explicit CopyVerifier(FrameReader reader);

    // Throws what reading either file throws (ScrivelError::noVideoTrack,
    // VideoScanError, PlatformError) and OperationCancelled once `stop` is
    // requested. `progress` is called on this thread: the copy's reading,
    // then one last phase comparing the containers.
    CopyCheck check(const std::filesystem::path& original, const std::filesystem::path& copy,
                    const ScanSettings& settings, const ScanProgressCallback& progress, std::stop_token stop = {}) const;

    // The container comparison alone: fills `check.differences`,
    // `check.notes` and the copy's displayed size. Reads packets only,
    // decodes nothing.
    static void compareContainers(const std::filesystem::path& original, const std::filesystem::path& copy,
                                  CopyCheck& check, std::stop_token stop = {});

    // The readable spans of frame-by-frame readings.
    static std::vector<ReadableText> readableText(const ScanResult& readings);

private:
    FrameReader reader_;
};

} // namespace scrivel
