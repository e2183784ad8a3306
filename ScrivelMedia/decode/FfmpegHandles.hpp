#pragma once

// The one place that owns FFmpeg's C objects. Every FFmpeg allocation in the
// media module lives in one of these owners from the moment it is created, so
// no return path has to remember a free call.

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libavutil/sha.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "ScrivelCore/Errors.hpp"

namespace scrivel {

namespace ffmpeg_detail {
struct InputFormatDeleter {
    void operator()(AVFormatContext* context) const noexcept { avformat_close_input(&context); }
};
// An output context owns its I/O context only when the muxer needs a file.
struct OutputFormatDeleter {
    void operator()(AVFormatContext* context) const noexcept
    {
        if (context->oformat && !(context->oformat->flags & AVFMT_NOFILE))
            avio_closep(&context->pb);
        avformat_free_context(context);
    }
};
struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};
struct SwsDeleter {
    void operator()(SwsContext* context) const noexcept { sws_freeContext(context); }
};
struct SwrDeleter {
    void operator()(SwrContext* context) const noexcept { swr_free(&context); }
};
} // namespace ffmpeg_detail

// Opened with avformat_open_input; closed with avformat_close_input.
using InputFormatContext = std::unique_ptr<AVFormatContext, ffmpeg_detail::InputFormatDeleter>;
// Allocated with avformat_alloc_output_context2; its pb (when opened) is closed
// with avio_closep before the context is freed. Write the trailer before
// letting go if the file is meant to be complete.
using OutputFormatContext = std::unique_ptr<AVFormatContext, ffmpeg_detail::OutputFormatDeleter>;
using CodecContext = std::unique_ptr<AVCodecContext, ffmpeg_detail::CodecContextDeleter>;
using Frame = std::unique_ptr<AVFrame, ffmpeg_detail::FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, ffmpeg_detail::PacketDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, ffmpeg_detail::SwsDeleter>;
using SwrContextPtr = std::unique_ptr<SwrContext, ffmpeg_detail::SwrDeleter>;

// FFmpeg's own text for an error code (AVERROR(...)).
inline std::string ffmpegErrorText(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(error, text, sizeof text) < 0)
        return "FFmpeg error " + std::to_string(error);
    return text;
}

// Throws PlatformError("<what>: <FFmpeg's text>") when `result` is negative;
// passes non-negative results through.
inline int throwIfError(int result, const char* what)
{
    if (result < 0)
        throw PlatformError(std::string(what) + ": " + ffmpegErrorText(result));
    return result;
}

inline Frame makeFrame()
{
    Frame frame(av_frame_alloc());
    if (!frame)
        throw std::bad_alloc();
    return frame;
}

inline Packet makePacket()
{
    Packet packet(av_packet_alloc());
    if (!packet)
        throw std::bad_alloc();
    return packet;
}

// A hash context from av_sha_alloc; av_free releases it.
struct ShaDeleter {
    void operator()(AVSHA* context) const noexcept { av_free(context); }
};
using ShaContext = std::unique_ptr<AVSHA, ShaDeleter>;

} // namespace scrivel
