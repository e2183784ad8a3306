#include "support/ClipWriter.hpp"

#include <atomic>
#include <cstdlib>
#include <optional>
#include <cmath>
#include <random>
#include <stdexcept>

#include <unistd.h>

#include <opencv2/imgproc.hpp>

#include "decode/FfmpegHandles.hpp"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/opt.h>
}

namespace scrivel::test {

namespace {

void check(int result, const char* what)
{
    if (result < 0)
        throw std::runtime_error(std::string("clip writer: ") + what + ": " + ffmpegErrorText(result));
}

struct Encoder {
    CodecContext context;
    AVStream* stream = nullptr; // owned by the output context
};

Encoder openVideoEncoder(AVFormatContext& output, const ClipSpec& format)
{
    const AVCodec* codec = format.videoCodec == ClipVideoCodec::h264 ? avcodec_find_encoder_by_name("libx264")
                                                                   : avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    if (!codec)
        throw std::runtime_error("clip writer: video encoder unavailable");
    Encoder encoder;
    encoder.context.reset(avcodec_alloc_context3(codec));
    AVCodecContext& context = *encoder.context;
    const AVRational rate = av_d2q(format.frameRate, 100000);
    context.width = format.width;
    context.height = format.height;
    context.pix_fmt = AV_PIX_FMT_YUV420P;
    context.time_base = av_inv_q(rate);
    context.framerate = rate;
    context.gop_size = format.gopSize;
    context.max_b_frames = format.maxBFrames;
    context.thread_count = 1; // tiny clips; keep the machine free for the tests
    context.color_range = AVCOL_RANGE_MPEG;
    context.colorspace = AVCOL_SPC_BT709;
    context.color_primaries = AVCOL_PRI_BT709;
    context.color_trc = AVCOL_TRC_BT709;
    if (output.oformat->flags & AVFMT_GLOBALHEADER)
        context.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    if (format.videoCodec == ClipVideoCodec::h264) {
        av_dict_set(&options, "preset", "veryfast", 0);
        av_dict_set_int(&options, "crf", format.h264Crf, 0);
    } else {
        context.qmin = context.qmax = 2;
    }
    const int opened = avcodec_open2(&context, codec, &options);
    av_dict_free(&options);
    check(opened, "open video encoder");

    encoder.stream = avformat_new_stream(&output, nullptr);
    if (!encoder.stream)
        throw std::bad_alloc();
    encoder.stream->time_base = context.time_base;
    encoder.stream->avg_frame_rate = rate;
    check(avcodec_parameters_from_context(encoder.stream->codecpar, &context), "video parameters");
    if (format.rotationDegrees % 360 != 0) {
        auto* matrix = reinterpret_cast<int32_t*>(
            av_stream_new_side_data(encoder.stream, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t)));
        if (!matrix)
            throw std::bad_alloc();
        av_display_rotation_set(matrix, format.rotationDegrees); // clockwise
    }
    return encoder;
}

Encoder openAudioEncoder(AVFormatContext& output, ClipAudioCodec codecKind, int channels, int sampleRate)
{
    const AVCodec* codec = avcodec_find_encoder(codecKind == ClipAudioCodec::aac ? AV_CODEC_ID_AAC : AV_CODEC_ID_PCM_S16LE);
    if (!codec)
        throw std::runtime_error("clip writer: audio encoder unavailable");
    Encoder encoder;
    encoder.context.reset(avcodec_alloc_context3(codec));
    AVCodecContext& context = *encoder.context;
    context.sample_rate = sampleRate;
    context.sample_fmt = codecKind == ClipAudioCodec::aac ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&context.ch_layout, channels);
    context.bit_rate = 96000;
    context.time_base = AVRational{1, sampleRate};
    if (output.oformat->flags & AVFMT_GLOBALHEADER)
        context.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(&context, codec, nullptr), "open audio encoder");
    encoder.stream = avformat_new_stream(&output, nullptr);
    if (!encoder.stream)
        throw std::bad_alloc();
    encoder.stream->time_base = context.time_base;
    check(avcodec_parameters_from_context(encoder.stream->codecpar, &context), "audio parameters");
    return encoder;
}

// Sends `frame` (null flushes) and writes every packet the encoder returns.
void encode(AVFormatContext& output, Encoder& encoder, AVFrame* frame)
{
    check(avcodec_send_frame(encoder.context.get(), frame), "encode");
    Packet packet = makePacket();
    for (;;) {
        const int received = avcodec_receive_packet(encoder.context.get(), packet.get());
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
            return;
        check(received, "receive packet");
        av_packet_rescale_ts(packet.get(), encoder.context->time_base, encoder.stream->time_base);
        packet->stream_index = encoder.stream->index;
        check(av_interleaved_write_frame(&output, packet.get()), "write packet");
    }
}

class ToneSource {
public:
    ToneSource(Encoder& encoder, double toneHz) : encoder_(encoder), toneHz_(toneHz) {}

    // Next block of samples, or null once `totalSamples` have been produced.
    Frame next(std::int64_t totalSamples)
    {
        if (produced_ >= totalSamples)
            return nullptr;
        const AVCodecContext& context = *encoder_.context;
        const int blockSize = context.frame_size > 0 ? context.frame_size : 1024;
        const int count = static_cast<int>(std::min<std::int64_t>(blockSize, totalSamples - produced_));
        Frame frame = makeFrame();
        frame->format = context.sample_fmt;
        frame->sample_rate = context.sample_rate;
        frame->nb_samples = context.frame_size > 0 ? context.frame_size : count; // AAC wants full blocks
        check(av_channel_layout_copy(&frame->ch_layout, &context.ch_layout), "channel layout");
        check(av_frame_get_buffer(frame.get(), 0), "audio buffer");
        const int channels = context.ch_layout.nb_channels;
        for (int i = 0; i < frame->nb_samples; ++i) {
            const double t = static_cast<double>(produced_ + i) / context.sample_rate;
            const double value = i < count ? 0.3 * std::sin(2 * M_PI * toneHz_ * t) : 0.0;
            for (int c = 0; c < channels; ++c) {
                if (context.sample_fmt == AV_SAMPLE_FMT_FLTP)
                    reinterpret_cast<float*>(frame->data[c])[i] = static_cast<float>(value);
                else
                    reinterpret_cast<int16_t*>(frame->data[0])[i * channels + c] = static_cast<int16_t>(value * 32767);
            }
        }
        frame->pts = produced_;
        produced_ += count;
        return frame;
    }

    double nextTime() const { return static_cast<double>(produced_) / encoder_.context->sample_rate; }

private:
    Encoder& encoder_;
    double toneHz_;
    std::int64_t produced_ = 0;
};

OutputFormatContext openOutput(const std::filesystem::path& path)
{
    av_log_set_level(AV_LOG_ERROR); // encoder statistics are noise in test logs
    AVFormatContext* raw = nullptr;
    check(avformat_alloc_output_context2(&raw, nullptr, nullptr, path.c_str()), "output format");
    return OutputFormatContext(raw);
}

void startWriting(AVFormatContext& output, const std::filesystem::path& path, bool indexFirst = false)
{
    check(avio_open(&output.pb, path.c_str(), AVIO_FLAG_WRITE), "open output file");
    AVDictionary* options = nullptr;
    if (indexFirst)
        av_dict_set(&options, "movflags", "faststart", 0);
    const int written = avformat_write_header(&output, &options);
    av_dict_free(&options);
    check(written, "write header");
}

} // namespace

void writeClip(const std::filesystem::path& path, const ClipSpec& format, const FrameSource& frames)
{
    if (format.width <= 0 || format.height <= 0 || format.width % 2 || format.height % 2 || format.frameCount <= 0 || format.frameRate <= 0)
        throw std::invalid_argument("clip writer: sizes must be even and positive, with at least one frame");
    OutputFormatContext output = openOutput(path);
    Encoder video = openVideoEncoder(*output, format);
    std::optional<Encoder> audio;
    if (format.audioCodec != ClipAudioCodec::none)
        audio = openAudioEncoder(*output, format.audioCodec, format.audioChannels, format.audioSampleRate);
    startWriting(*output, path, format.indexFirst);

    SwsContextPtr converter(sws_getContext(format.width, format.height, AV_PIX_FMT_BGR24, format.width, format.height,
        AV_PIX_FMT_YUV420P, SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP, nullptr, nullptr, nullptr));
    if (!converter)
        throw std::runtime_error("clip writer: no colour converter");
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(converter.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);

    const double seconds = format.frameCount / format.frameRate;
    std::optional<ToneSource> tone;
    std::int64_t totalSamples = 0;
    if (audio) {
        tone.emplace(*audio, format.toneHz);
        totalSamples = std::llround(seconds * format.audioSampleRate);
    }

    for (int index = 0; index < format.frameCount; ++index) {
        // Keep audio ahead of video so the muxer interleaves in small steps.
        while (tone && tone->nextTime() <= index / format.frameRate) {
            Frame block = tone->next(totalSamples);
            if (!block)
                break;
            encode(*output, *audio, block.get());
        }
        const cv::Mat picture = frames(index);
        if (picture.type() != CV_8UC3 || picture.cols != format.width || picture.rows != format.height)
            throw std::invalid_argument("clip writer: frame " + std::to_string(index) + " has the wrong size or type");
        const cv::Mat contiguous = picture.isContinuous() ? picture : picture.clone();
        Frame frame = makeFrame();
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = format.width;
        frame->height = format.height;
        frame->color_range = AVCOL_RANGE_MPEG;
        frame->colorspace = AVCOL_SPC_BT709;
        check(av_frame_get_buffer(frame.get(), 0), "video buffer");
        const uint8_t* source[1] = {contiguous.data};
        const int sourceStride[1] = {static_cast<int>(contiguous.step[0])};
        sws_scale(converter.get(), source, sourceStride, 0, format.height, frame->data, frame->linesize);
        frame->pts = index;
        encode(*output, video, frame.get());
    }
    encode(*output, video, nullptr);
    if (tone) {
        while (Frame block = tone->next(totalSamples))
            encode(*output, *audio, block.get());
        encode(*output, *audio, nullptr);
    }
    check(av_write_trailer(output.get()), "write trailer");
}

void writeAudioOnlyClip(const std::filesystem::path& path, double seconds, ClipAudioCodec codec, int channels)
{
    if (codec == ClipAudioCodec::none)
        throw std::invalid_argument("clip writer: an audio-only clip needs an audio codec");
    OutputFormatContext output = openOutput(path);
    Encoder audio = openAudioEncoder(*output, codec, channels, 48000);
    startWriting(*output, path);
    ToneSource tone(audio, 440);
    const std::int64_t totalSamples = std::llround(seconds * 48000);
    while (Frame block = tone.next(totalSamples))
        encode(*output, audio, block.get());
    encode(*output, audio, nullptr);
    check(av_write_trailer(output.get()), "write trailer");
}

cv::Mat flatFrame(cv::Size size, cv::Scalar bgr)
{
    return cv::Mat(size, CV_8UC3, bgr);
}

cv::Mat textFrame(cv::Size size, const std::vector<TextItem>& items, cv::Scalar background)
{
    cv::Mat frame(size, CV_8UC3, background);
    for (const TextItem& item : items)
        cv::putText(frame, item.text, item.origin, cv::FONT_HERSHEY_SIMPLEX, item.fontScale, item.colour, item.thickness, cv::LINE_AA);
    return frame;
}

cv::Mat textPage(int width, int height, unsigned seed, int lineSpacingPixels)
{
    static const char* const words[] = {"invoice", "meeting", "alpha", "Scrivel", "record", "42", "2026-12-06",
        "quarterly", "zephyr", "(draft)", "mail@example.com", "+1 555 0100", "window", "Kappa", "#17", "render",
        "queue", "balance:", "9,870.55", "north", "tracking", "lorem", "ipsum", "dolor"};
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(words) - 1);
    std::uniform_int_distribution<int> indent(8, 60);
    std::uniform_real_distribution<double> size(0.45, 0.8);
    cv::Mat page(height, width, CV_8UC3, cv::Scalar(255, 255, 255));
    for (int baseline = lineSpacingPixels; baseline < height; baseline += lineSpacingPixels) {
        std::string line;
        int x = indent(random);
        const double scale = size(random);
        while (true) {
            const std::string word = words[pick(random)];
            const std::string candidate = line.empty() ? word : line + " " + word;
            int ignored = 0;
            if (x + cv::getTextSize(candidate, cv::FONT_HERSHEY_SIMPLEX, scale, 1, &ignored).width > width - 8)
                break;
            line = candidate;
        }
        cv::putText(page, line, {x, baseline}, cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(20, 20, 20), 1, cv::LINE_AA);
    }
    return page;
}

cv::Mat scrolledView(const cv::Mat& page, cv::Size view, int offsetX, int offsetY)
{
    cv::Mat frame(view, page.type(), cv::Scalar::all(255));
    const cv::Rect wanted(offsetX, offsetY, view.width, view.height);
    const cv::Rect available = wanted & cv::Rect(0, 0, page.cols, page.rows);
    if (available.area() > 0)
        page(available).copyTo(frame(available - wanted.tl()));
    return frame;
}

cv::Mat zoomedView(const cv::Mat& content, double scale)
{
    const cv::Point2d centre((content.cols - 1) / 2.0, (content.rows - 1) / 2.0);
    cv::Mat transform = (cv::Mat_<double>(2, 3) << scale, 0, centre.x * (1 - scale), 0, scale, centre.y * (1 - scale));
    cv::Mat frame;
    cv::warpAffine(content, frame, transform, content.size(), cv::INTER_CUBIC, cv::BORDER_CONSTANT, cv::Scalar::all(255));
    return frame;
}

FrameSource withCuts(std::vector<int> cutIndices, std::vector<FrameSource> scenes)
{
    if (scenes.size() != cutIndices.size() + 1)
        throw std::invalid_argument("withCuts: one more scene than cuts");
    return [cuts = std::move(cutIndices), scenes = std::move(scenes)](int index) {
        std::size_t scene = 0;
        int start = 0;
        while (scene < cuts.size() && index >= cuts[scene])
            start = cuts[scene++];
        return scenes[scene](index - start);
    };
}

std::filesystem::path temporaryMediaPath(const std::string& extension)
{
    static std::atomic<int> counter{0};
    const std::string dotted = extension.empty() || extension[0] == '.' ? extension : "." + extension;
    return std::filesystem::temp_directory_path()
        / ("scrivel-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + dotted);
}

TemporaryFile::~TemporaryFile()
{
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

TemporaryFolder::TemporaryFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "scrivel-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

TemporaryFolder::~TemporaryFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

} // namespace scrivel::test
