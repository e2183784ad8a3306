#pragma once

#include <cstdint>
#include <string>

#include "ScrivelCore/Json.hpp"

namespace scrivel {

// The probed facts of a video file, as sent to the page.
struct VideoInfo {
    std::string id;          // fresh upper-case UUID per probe
    std::string displayName; // file name with extension
    double duration = 0;     // seconds, finite and > 0
    std::int64_t width = 0;  // displayed (oriented) size, at least 1
    std::int64_t height = 0;
    double nominalFrameRate = 0; // frames per second, never negative
    std::int64_t fileSize = 0;   // bytes, 0 when unknown

    bool operator==(const VideoInfo&) const = default;
};

Json toJson(const VideoInfo& value);
template <>
VideoInfo decode<VideoInfo>(const Json& json);

} // namespace scrivel
