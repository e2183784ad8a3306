#include "decode/MediaSource.hpp"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

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

std::int64_t maximumFramePixels()
{
    static const std::int64_t limit = [] {
        // Per pixel of a frame, the export holds about this many bytes at
        // once: the decoder's reference and threading frames, three 8-bit
        // BGR copies, and the encoder's look-ahead queue of 4:2:0 frames.
        constexpr std::int64_t bytesPerPixel = 96;
        std::int64_t memory = static_cast<std::int64_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGE_SIZE);
        std::ifstream cgroup("/sys/fs/cgroup/memory.max");
        std::string cap;
        if (cgroup >> cap && !cap.empty() && std::all_of(cap.begin(), cap.end(), [](char c) { return c >= '0' && c <= '9'; }))
            memory = std::min<std::int64_t>(memory, std::stoll(cap));
        return std::max<std::int64_t>(memory / bytesPerPixel, 1);
    }();
    return limit;
}

int findStreamInfo(AVFormatContext& format)
{
    std::vector<AVDictionary*> options(format.nb_streams, nullptr);
    for (AVDictionary*& streamOptions : options)
        av_dict_set_int(&streamOptions, "max_pixels", maximumFramePixels(), 0);
    const int result = avformat_find_stream_info(&format, options.empty() ? nullptr : options.data());
    for (AVDictionary*& streamOptions : options)
        av_dict_free(&streamOptions);
    return result;
}

void refuseOversizedVideo(const AVFormatContext& format, const std::filesystem::path& url)
{
    const int index = firstVideoStream(format);
    if (index < 0)
        return;
    const AVCodecParameters& parameters = *format.streams[index]->codecpar;
    const std::int64_t pixels = static_cast<std::int64_t>(parameters.width) * parameters.height;
    if (parameters.width < 0 || parameters.height < 0 || pixels > maximumFramePixels())
        throw PlatformError(url.string() + ": the video's frames are " + std::to_string(parameters.width) + " \u00d7 " +
                            std::to_string(parameters.height) +
                            " pixels, more than this computer can process (at most " +
                            std::to_string(maximumFramePixels() / 1000000) + " million pixels per frame)");
}

} // namespace scrivel
