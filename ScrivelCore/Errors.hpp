#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace scrivel {

// User-facing failures. what() is the message shown to the user, verbatim.
class ScrivelError : public std::runtime_error {
public:
    enum class Code {
        exportFailed,
        noVideoSelected,
        noVideoTrack,
        noScanResult,
        invalidRequest,
        invalidMaskSettings,
        unsupportedVideo,
        exportSessionUnavailable,
        outputMatchesSource,
        noExportedCopy,
    };

    static ScrivelError exportFailed(const std::string& message);
    static ScrivelError noVideoSelected();
    static ScrivelError noVideoTrack();
    static ScrivelError noScanResult();
    static ScrivelError invalidRequest();
    static ScrivelError invalidMaskSettings();
    static ScrivelError unsupportedVideo();
    static ScrivelError exportSessionUnavailable();
    static ScrivelError outputMatchesSource();
    static ScrivelError noExportedCopy();

    Code code() const noexcept { return code_; }
    // The text carried by exportFailed; empty for every other case.
    const std::string& detail() const noexcept { return detail_; }

private:
    ScrivelError(Code code, const std::string& message, std::string detail = {});
    Code code_;
    std::string detail_;
};

// Failures while reading frames for a scan or for tracking.
class VideoScanError : public std::runtime_error {
public:
    enum class Code { decodeFailed, frameConversionFailed };

    static VideoScanError decodeFailed();
    static VideoScanError frameConversionFailed();

    Code code() const noexcept { return code_; }
    bool operator==(const VideoScanError& other) const noexcept { return code_ == other.code_; }

private:
    VideoScanError(Code code, const char* message);
    Code code_;
};

// Cooperative cancellation ends work with this, never with a flag.
class OperationCancelled : public std::exception {
public:
    const char* what() const noexcept override { return "Operation cancelled."; }
};

// A failure reported by a platform library (FFmpeg, OpenCV, the file system),
// passed on with that library's own text.
class PlatformError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace scrivel
