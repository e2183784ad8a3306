#pragma once

// Opening a media file, shared by the inspector, the frame reader and the
// exporter: file-system failures keep FFmpeg's text (PlatformError); a file
// FFmpeg cannot read as media raises the caller's own user-facing error.

#include <filesystem>

#include "ScrivelMedia/FfmpegHandles.hpp"

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
    const int found = avformat_find_stream_info(format.get(), nullptr);
    if (found < 0) {
        if (isSystemError(found))
            throwIfError(found, url.c_str());
        throw notMedia;
    }
    return format;
}

} // namespace scrivel
