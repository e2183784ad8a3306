#pragma once

// Opening a media file, shared by the inspector, the frame reader and the
// exporter: file-system failures keep FFmpeg's text (PlatformError); a file
// FFmpeg cannot read as media raises the caller's own user-facing error.

#include <cstdint>
#include <filesystem>

#include "decode/FfmpegHandles.hpp"

namespace scrivel {

// Opens the file and reads its stream information.
template <class NotMediaError>
InputFormatContext openMediaFile(const std::filesystem::path& url, const NotMediaError& notMedia);

// True for errors that come from the operating system (errno values) rather
// than from FFmpeg's parsing of the content.
bool isSystemError(int ffmpegError);

// The product logs nothing; FFmpeg's console messages are switched off once.
void silenceFfmpegLogging();

// Index of the first video stream that is not a cover picture, or -1.
int firstVideoStream(const AVFormatContext& format);

// The largest frame, in pixels, that decoding, drawing and encoding can hold
// at once in this machine's memory (physical or the cgroup's limit).
std::int64_t maximumFramePixels();

// avformat_find_stream_info with probing decoders that refuse frames over
// maximumFramePixels() instead of allocating them.
int findStreamInfo(AVFormatContext& format);

// Throws PlatformError naming the file when the first video stream's frames
// are larger than maximumFramePixels(), before anything of that size exists.
void refuseOversizedVideo(const AVFormatContext& format, const std::filesystem::path& url);

template <class NotMediaError>
InputFormatContext openMediaFile(const std::filesystem::path& url, const NotMediaError& notMedia)
{
    silenceFfmpegLogging();
    AVFormatContext* raw = nullptr;
    // On failure avformat_open_input frees the context itself.
    const int opened = avformat_open_input(&raw, url.c_str(), nullptr, nullptr);
    if (opened < 0) {
        if (isSystemError(opened))
            throwIfError(opened, url.c_str());
        throw notMedia;
    }
    InputFormatContext format(raw);
    // Sizes the container's header states are checked before probing
    // decodes anything; sizes only the codec data holds, after.
    refuseOversizedVideo(*format, url);
    const int found = findStreamInfo(*format);
    if (found < 0) {
        if (isSystemError(found))
            throwIfError(found, url.c_str());
        throw notMedia;
    }
    refuseOversizedVideo(*format, url);
    return format;
}

} // namespace scrivel
