#include "decode/MediaInspector.hpp"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include <sys/stat.h>

#include "ScrivelCore/Errors.hpp"
#include "decode/FfmpegHandles.hpp"
#include "decode/MediaSource.hpp"
#include "decode/VideoOrientation.hpp"

namespace scrivel {

namespace {

std::string randomUuid()
{
    std::random_device source;
    std::array<unsigned char, 16> bytes{};
    for (auto& byte : bytes)
        byte = static_cast<unsigned char>(source() & 0xFF);
    bytes[6] = (bytes[6] & 0x0F) | 0x40; // version 4
    bytes[8] = (bytes[8] & 0x3F) | 0x80; // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text,
        "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
        bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7],
        bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

double durationSeconds(const AVFormatContext& format, const AVStream& stream)
{
    if (format.duration != AV_NOPTS_VALUE)
        return static_cast<double>(format.duration) / AV_TIME_BASE;
    if (stream.duration != AV_NOPTS_VALUE)
        return static_cast<double>(stream.duration) * av_q2d(stream.time_base);
    return std::nan("");
}

double nominalFrameRate(const AVStream& stream)
{
    AVRational rate = stream.avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0)
        rate = stream.r_frame_rate;
    if (rate.den == 0)
        return 0;
    const double value = av_q2d(rate);
    return std::isfinite(value) ? std::max(0.0, value) : 0.0;
}

std::int64_t roundedDimension(double value)
{
    return std::max<std::int64_t>(1, std::llround(std::abs(value)));
}

} // namespace

VideoInfo MediaInspector::inspect(const std::filesystem::path& url)
{
    const InputFormatContext format = openMediaFile(url, ScrivelError::noVideoTrack());
    const int streamIndex = firstVideoStream(*format);
    if (streamIndex < 0)
        throw ScrivelError::noVideoTrack();
    const AVStream& stream = *format->streams[streamIndex];

    const VideoOrientation orientation = VideoOrientation::of(stream);
    const double duration = durationSeconds(*format, stream);
    if (!std::isfinite(duration) || duration <= 0)
        throw ScrivelError::noVideoTrack();

    struct stat status {};
    if (::stat(url.c_str(), &status) != 0)
        throw PlatformError(url.string() + ": " + std::strerror(errno));

    VideoInfo info;
    info.id = randomUuid();
    info.displayName = url.filename().string();
    info.duration = duration;
    info.width = roundedDimension(orientation.displayWidth);
    info.height = roundedDimension(orientation.displayHeight);
    info.nominalFrameRate = nominalFrameRate(stream);
    info.fileSize = static_cast<std::int64_t>(status.st_size);
    return info;
}

} // namespace scrivel
