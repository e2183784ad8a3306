#include "support/FaultyMedia.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

#include <stdlib.h>

#include <opencv2/imgproc.hpp>

#include "decode/FfmpegHandles.hpp"

extern "C" {
#include <libavutil/crc.h>
#include <libavutil/md5.h>
#include <libavutil/opt.h>
}

namespace scrivel::test {

namespace fs = std::filesystem;

namespace {

void check(int result, const char* what)
{
    if (result < 0)
        throw std::runtime_error(std::string("faulty media: ") + what + ": " + ffmpegErrorText(result));
}

std::string hexDigest(const std::uint8_t* data, std::size_t size)
{
    std::uint8_t sum[16];
    av_md5_sum(sum, data, size);
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : sum) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

constexpr int videoTicksPerSecond = 90000;

struct Track {
    CodecContext encoder;
    AVStream* stream = nullptr; // owned by the output context
    // Each video frame's duration by its time, in encoder ticks: libx264
    // leaves packet durations unset, and a recorder's file has them.
    std::map<std::int64_t, std::int64_t> durations;
};

void writePackets(AVFormatContext& output, Track& track, const AVFrame* frame)
{
    check(avcodec_send_frame(track.encoder.get(), frame), "encode");
    Packet packet = makePacket();
    for (;;) {
        const int received = avcodec_receive_packet(track.encoder.get(), packet.get());
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
            return;
        check(received, "receive packet");
        if (const auto found = track.durations.find(packet->pts); packet->duration == 0 && found != track.durations.end())
            packet->duration = found->second;
        av_packet_rescale_ts(packet.get(), track.encoder->time_base, track.stream->time_base);
        packet->stream_index = track.stream->index;
        check(av_interleaved_write_frame(&output, packet.get()), "write packet");
    }
}

Track openVideo(AVFormatContext& output, const VideoTrackSpec& format)
{
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec)
        throw std::runtime_error("faulty media: libx264 unavailable");
    Track track;
    track.encoder.reset(avcodec_alloc_context3(codec));
    AVCodecContext& context = *track.encoder;
    context.width = format.width;
    context.height = format.height;
    context.pix_fmt = format.width % 2 == 0 && format.height % 2 == 0 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV444P;
    context.time_base = AVRational{1, videoTicksPerSecond};
    context.gop_size = format.keyframeInterval;
    context.max_b_frames = 0;
    context.thread_count = 1;
    if (output.oformat->flags & AVFMT_GLOBALHEADER)
        context.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "preset", "ultrafast", 0);
    av_dict_set(&options, "crf", "20", 0);
    const int opened = avcodec_open2(&context, codec, &options);
    av_dict_free(&options);
    check(opened, "open video encoder");
    track.stream = avformat_new_stream(&output, nullptr);
    if (!track.stream)
        throw std::bad_alloc();
    track.stream->time_base = context.time_base;
    check(avcodec_parameters_from_context(track.stream->codecpar, &context), "video parameters");
    return track;
}

Track openAudio(AVFormatContext& output, const AudioTrackSpec& format)
{
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec)
        throw std::runtime_error("faulty media: AAC encoder unavailable");
    Track track;
    track.encoder.reset(avcodec_alloc_context3(codec));
    AVCodecContext& context = *track.encoder;
    context.sample_rate = 48000;
    context.sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&context.ch_layout, format.channels);
    context.bit_rate = 64000;
    context.time_base = AVRational{1, context.sample_rate};
    if (output.oformat->flags & AVFMT_GLOBALHEADER)
        context.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(&context, codec, nullptr), "open audio encoder");
    track.stream = avformat_new_stream(&output, nullptr);
    if (!track.stream)
        throw std::bad_alloc();
    track.stream->time_base = context.time_base;
    check(avcodec_parameters_from_context(track.stream->codecpar, &context), "audio parameters");
    return track;
}

void writeVideo(AVFormatContext& output, Track& track, const VideoTrackSpec& format)
{
    AVCodecContext& context = *track.encoder;
    SwsContextPtr converter(sws_getContext(format.width, format.height, AV_PIX_FMT_BGR24, format.width, format.height,
                                           context.pix_fmt, SWS_POINT, nullptr, nullptr, nullptr));
    if (!converter)
        throw std::runtime_error("faulty media: no colour converter");
    for (std::size_t index = 0; index < format.times.size(); ++index) {
        const cv::Mat picture = trackFrame(format, static_cast<int>(index));
        Frame frame = makeFrame();
        frame->format = context.pix_fmt;
        frame->width = format.width;
        frame->height = format.height;
        check(av_frame_get_buffer(frame.get(), 0), "video buffer");
        const std::uint8_t* source[1] = {picture.data};
        const int stride[1] = {static_cast<int>(picture.step[0])};
        sws_scale(converter.get(), source, stride, 0, format.height, frame->data, frame->linesize);
        frame->pts = std::llround(format.times[index] * videoTicksPerSecond);
        const double next = index + 1 < format.times.size() ? format.times[index + 1]
                            : index > 0                   ? 2 * format.times[index] - format.times[index - 1]
                                                          : format.times[index] + 1.0 / 30;
        if (format.stampDurations)
            track.durations[frame->pts] = std::max<std::int64_t>(1, std::llround(next * videoTicksPerSecond) - frame->pts);
        writePackets(output, track, frame.get());
    }
    writePackets(output, track, nullptr);
}

void writeAudio(AVFormatContext& output, Track& track, const AudioTrackSpec& format)
{
    AVCodecContext& context = *track.encoder;
    const std::int64_t total = std::llround(format.seconds * context.sample_rate);
    for (std::int64_t produced = 0; produced < total; produced += context.frame_size) {
        Frame frame = makeFrame();
        frame->format = context.sample_fmt;
        frame->sample_rate = context.sample_rate;
        frame->nb_samples = context.frame_size;
        check(av_channel_layout_copy(&frame->ch_layout, &context.ch_layout), "channel layout");
        check(av_frame_get_buffer(frame.get(), 0), "audio buffer");
        for (int c = 0; c < context.ch_layout.nb_channels; ++c)
            for (int i = 0; i < frame->nb_samples; ++i) {
                const double t = static_cast<double>(produced + i) / context.sample_rate;
                reinterpret_cast<float*>(frame->data[c])[i] = static_cast<float>(0.2 * std::sin(2 * M_PI * format.toneHz * t));
            }
        frame->pts = produced;
        writePackets(output, track, frame.get());
    }
    writePackets(output, track, nullptr);
}

OutputFormatContext startOutput(const fs::path& path, const char* formatName = nullptr)
{
    av_log_set_level(AV_LOG_QUIET); // the damage these files carry is meant
    AVFormatContext* raw = nullptr;
    check(avformat_alloc_output_context2(&raw, nullptr, formatName, path.c_str()), "output format");
    return OutputFormatContext(raw);
}

void openFile(AVFormatContext& output, const fs::path& path)
{
    check(avio_open(&output.pb, path.c_str(), AVIO_FLAG_WRITE), "open output file");
    check(avformat_write_header(&output, nullptr), "write header");
}

void putBigEndian(std::string& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xFF);
}

void pngChunk(std::string& out, const char* type, const std::string& body)
{
    putBigEndian(out, static_cast<std::uint32_t>(body.size()));
    const std::string typed = std::string(type, 4) + body;
    out += typed;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(typed.data());
    putBigEndian(out, av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), 0xFFFFFFFF, bytes, typed.size()) ^ 0xFFFFFFFF);
}

} // namespace

std::vector<double> evenTimes(int count, double framesPerSecond)
{
    std::vector<double> times;
    for (int i = 0; i < count; ++i)
        times.push_back(i / framesPerSecond);
    return times;
}

cv::Mat trackFrame(const VideoTrackSpec& format, int index)
{
    cv::Mat picture(format.height, format.width, CV_8UC3, format.colour);
    const int side = std::max(1, std::min(format.width, format.height) / 4);
    const int span = std::max(1, format.width - side);
    cv::rectangle(picture, cv::Rect((index * side / 2) % span, 0, side, side), cv::Scalar::all(255), cv::FILLED);
    return picture;
}

void writeTracks(const fs::path& path, const std::vector<VideoTrackSpec>& videos,
                 const std::vector<AudioTrackSpec>& audios)
{
    OutputFormatContext output = startOutput(path);
    std::vector<Track> videoTracks, audioTracks;
    for (const VideoTrackSpec& format : videos)
        videoTracks.push_back(openVideo(*output, format));
    for (const AudioTrackSpec& format : audios)
        audioTracks.push_back(openAudio(*output, format));
    openFile(*output, path);
    // The muxer interleaves by time; these clips are short enough to buffer.
    for (std::size_t i = 0; i < videos.size(); ++i)
        writeVideo(*output, videoTracks[i], videos[i]);
    for (std::size_t i = 0; i < audios.size(); ++i)
        writeAudio(*output, audioTracks[i], audios[i]);
    check(av_write_trailer(output.get()), "write trailer");
}

void writeOversizedPicture(const fs::path& path, int width, int height)
{
    OutputFormatContext output = startOutput(path, "mov");
    AVStream* stream = avformat_new_stream(output.get(), nullptr);
    if (!stream)
        throw std::bad_alloc();
    stream->time_base = AVRational{1, 30};
    stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    stream->codecpar->codec_id = AV_CODEC_ID_PNG;
    stream->codecpar->width = width;
    stream->codecpar->height = height;
    stream->codecpar->format = AV_PIX_FMT_RGB24;
    openFile(*output, path);

    std::string png = "\x89PNG\r\n\x1a\n";
    std::string header;
    putBigEndian(header, static_cast<std::uint32_t>(width));
    putBigEndian(header, static_cast<std::uint32_t>(height));
    header += std::string("\x08\x02\x00\x00\x00", 5); // 8-bit RGB, no interlace
    pngChunk(png, "IHDR", header);
    pngChunk(png, "IDAT", std::string("\x78\x01", 2)); // a deflate stream that stops at once
    pngChunk(png, "IEND", "");

    Packet packet = makePacket();
    check(av_new_packet(packet.get(), static_cast<int>(png.size())), "packet");
    std::copy(png.begin(), png.end(), packet->data);
    packet->pts = packet->dts = 0;
    packet->duration = 1;
    packet->flags |= AV_PKT_FLAG_KEY;
    packet->stream_index = stream->index;
    check(av_interleaved_write_frame(output.get(), packet.get()), "write packet");
    check(av_write_trailer(output.get()), "write trailer");
}

void corruptVideoPackets(const fs::path& path, int first, int last, unsigned char fill)
{
    std::vector<std::pair<std::int64_t, int>> spans; // file offset, size
    {
        AVFormatContext* raw = nullptr;
        check(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), "open for corruption");
        InputFormatContext input(raw);
        check(avformat_find_stream_info(input.get(), nullptr), "stream info");
        const int video = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        check(video, "no video stream");
        Packet packet = makePacket();
        int index = 0;
        while (av_read_frame(input.get(), packet.get()) >= 0) {
            if (packet->stream_index == video) {
                if (index >= first && index < last && packet->pos >= 0)
                    spans.emplace_back(packet->pos, packet->size);
                ++index;
            }
            av_packet_unref(packet.get());
        }
    }
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    for (const auto& [offset, size] : spans) {
        file.seekp(offset);
        const std::string garbage(static_cast<std::size_t>(size), static_cast<char>(fill));
        file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    if (!file)
        throw std::runtime_error("faulty media: could not overwrite packets of " + path.string());
}

std::string fileDigest(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    return hexDigest(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::vector<StreamSummary> summarize(const fs::path& path)
{
    AVFormatContext* raw = nullptr;
    check(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), "open for summary");
    InputFormatContext input(raw);
    check(avformat_find_stream_info(input.get(), nullptr), "stream info");
    std::vector<int> listed(input->nb_streams, -1);
    std::vector<StreamSummary> kept;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters& parameters = *input->streams[i]->codecpar;
        if (parameters.codec_type != AVMEDIA_TYPE_VIDEO && parameters.codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        listed[i] = static_cast<int>(kept.size());
        StreamSummary summary;
        summary.video = parameters.codec_type == AVMEDIA_TYPE_VIDEO;
        summary.width = parameters.width;
        summary.height = parameters.height;
        kept.push_back(summary);
    }
    Packet packet = makePacket();
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        const int slot = listed[packet->stream_index];
        if (slot >= 0) {
            kept[slot].packetDigests.push_back(hexDigest(packet->data, static_cast<std::size_t>(packet->size)));
            kept[slot].packetSeconds.push_back(packet->pts == AV_NOPTS_VALUE
                                                   ? NAN
                                                   : packet->pts * av_q2d(input->streams[packet->stream_index]->time_base));
        }
        av_packet_unref(packet.get());
    }
    return kept;
}

ScratchFolder::ScratchFolder()
{
    std::string pattern = (fs::temp_directory_path() / "scrivel-fault-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

ScratchFolder::~ScratchFolder()
{
    std::error_code ignored;
    // Entries a test made unwritable or unreadable are opened up first.
    for (auto it = fs::directory_iterator(path, ignored); it != fs::directory_iterator(); it.increment(ignored))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path, ignored);
}

std::vector<std::string> entriesBesides(const fs::path& folder, const std::vector<std::string>& expected)
{
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (std::find(expected.begin(), expected.end(), name) == expected.end())
            found.push_back(name);
    }
    return found;
}

} // namespace scrivel::test
