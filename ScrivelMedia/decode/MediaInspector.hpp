#pragma once

#include <filesystem>

#include "decode/VideoInfo.hpp"

namespace scrivel {

// Probes a video file. Stateless; runs on whatever thread calls it.
struct MediaInspector {
    // Throws ScrivelError::noVideoTrack when the file holds no readable video
    // track (not a media file, audio only, no positive finite duration) and
    // PlatformError for file-system failures.
    static VideoInfo inspect(const std::filesystem::path& url);
};

} // namespace scrivel
