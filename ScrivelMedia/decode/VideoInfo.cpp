#include "decode/VideoInfo.hpp"

namespace scrivel {

Json toJson(const VideoInfo& value)
{
    return Json{
        {"id", value.id},
        {"displayName", value.displayName},
        {"duration", value.duration},
        {"width", value.width},
        {"height", value.height},
        {"nominalFrameRate", value.nominalFrameRate},
        {"fileSize", value.fileSize},
    };
}

template <>
VideoInfo decode<VideoInfo>(const Json& json)
{
    if (!json.is_object())
        throw JsonDecodeError("VideoInfo: expected an object");
    VideoInfo info;
    info.id = json::string(json, "id");
    info.displayName = json::string(json, "displayName");
    info.duration = json::number(json, "duration");
    info.width = json::int64(json, "width");
    info.height = json::int64(json, "height");
    info.nominalFrameRate = json::number(json, "nominalFrameRate");
    info.fileSize = json::int64(json, "fileSize");
    return info;
}

} // namespace scrivel
