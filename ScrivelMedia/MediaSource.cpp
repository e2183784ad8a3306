#include "ScrivelMedia/MediaSource.hpp"

#include <cerrno>
#include <mutex>

namespace scrivel {

bool isSystemError(int ffmpegError)
{
    // AVERROR(e) is -e for errno values; FFmpeg's own codes are large tags.
    const int code = -ffmpegError;
    return code > 0 && code < 4096 && code != EINVAL && code != ENOSYS;
}

void silenceFfmpegLogging()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

int firstVideoStream(const AVFormatContext& format)
{
    for (unsigned i = 0; i < format.nb_streams; ++i) {
        const AVStream& stream = *format.streams[i];
        if (stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(stream.disposition & AV_DISPOSITION_ATTACHED_PIC))
            return static_cast<int>(i);
    }
    return -1;
}

} // namespace scrivel
