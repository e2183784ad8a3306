#include "ScrivelCore/Errors.hpp"

namespace scrivel {

ScrivelError::ScrivelError(Code code, const std::string& message, std::string detail)
    : std::runtime_error(message), code_(code), detail_(std::move(detail)) {}

ScrivelError ScrivelError::exportFailed(const std::string& message)
{
    return {Code::exportFailed, "Export failed: " + message, message};
}
ScrivelError ScrivelError::noVideoSelected() { return {Code::noVideoSelected, "Choose a video first."}; }
ScrivelError ScrivelError::noVideoTrack()
{
    return {Code::noVideoTrack, "The selected file does not contain a readable video track."};
}
ScrivelError ScrivelError::noScanResult() { return {Code::noScanResult, "Scan the video before exporting."}; }
ScrivelError ScrivelError::invalidRequest() { return {Code::invalidRequest, "The app received an invalid request."}; }
ScrivelError ScrivelError::invalidMaskSettings()
{
    return {Code::invalidMaskSettings,
            "Invalid mask settings. Distances must be finite and within 1,000,000 pixels; "
            "opacity must be between 0 and 100%."};
}
ScrivelError ScrivelError::unsupportedVideo()
{
    return {Code::unsupportedVideo, "Scrivel supports MP4, MOV, and M4V video files."};
}
ScrivelError ScrivelError::exportSessionUnavailable()
{
    return {Code::exportSessionUnavailable, "Scrivel could not create a video export session for this file."};
}
ScrivelError ScrivelError::outputMatchesSource()
{
    return {Code::outputMatchesSource, "Choose a different output file to keep the original recording safe."};
}
ScrivelError ScrivelError::noExportedCopy() { return {Code::noExportedCopy, "Export a copy before checking it."}; }

VideoScanError::VideoScanError(Code code, const char* message) : std::runtime_error(message), code_(code) {}

VideoScanError VideoScanError::decodeFailed()
{
    return {Code::decodeFailed, "Scrivel could not decode every video frame."};
}
VideoScanError VideoScanError::frameConversionFailed()
{
    return {Code::frameConversionFailed, "A video frame could not be prepared for text recognition."};
}

} // namespace scrivel
