#include "export/VideoExporter.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ScrivelCore/Errors.hpp"
#include "decode/ConversionTarget.hpp"
#include "decode/FfmpegHandles.hpp"
#include "common/HeapReuse.hpp"
#include "decode/Image.hpp"
#include "decode/MediaSource.hpp"
#include "decode/SecurityScopedFileAccess.hpp"
#include "render/VideoComposition.hpp"
#include "decode/VideoOrientation.hpp"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/opt.h>
}

namespace scrivel {

namespace fs = std::filesystem;

namespace {

// Owner of the FIFO that regroups re-encoded audio into the encoder's frame size.
struct AudioFifoDeleter {
    void operator()(AVAudioFifo* fifo) const noexcept { av_audio_fifo_free(fifo); }
};
using AudioFifo = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;

constexpr auto progressInterval = std::chrono::milliseconds(150);
constexpr double progressCap = 0.99;

// A failure while the export is under way: the library's text, as the user sees it.
int checked(int result, const char* what)
{
    if (result < 0)
        throw ScrivelError::exportFailed(std::string(what) + ": " + ffmpegErrorText(result));
    return result;
}

[[noreturn]] void throwPosix(int error, const fs::path& path)
{
    throw PlatformError(path.string() + ": " + std::strerror(error));
}

// A fresh folder beside the destination, removed with everything in it
// however the export ends.
class TemporaryDirectory {
public:
    explicit TemporaryDirectory(const fs::path& folder)
    {
        std::string pattern = (folder / ".scrivel-export-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throwPosix(errno, folder);
        path_ = pattern;
    }
    ~TemporaryDirectory()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

class ProgressThrottle {
public:
    explicit ProgressThrottle(const VideoExporter::Progress& progress) : progress_(progress) {}

    void report(double fraction)
    {
        if (!progress_)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (last_ && now - *last_ < progressInterval)
            return;
        last_ = now;
        progress_(std::clamp(std::isfinite(fraction) ? fraction : 0.0, 0.0, progressCap));
    }

private:
    const VideoExporter::Progress& progress_;
    std::optional<std::chrono::steady_clock::time_point> last_;
};

const int* coefficientsFor(AVColorSpace space, int height)
{
    switch (space) {
    case AVCOL_SPC_BT709:
        return sws_getCoefficients(SWS_CS_ITU709);
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
        return sws_getCoefficients(SWS_CS_ITU601);
    case AVCOL_SPC_SMPTE240M:
        return sws_getCoefficients(SWS_CS_SMPTE240M);
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return sws_getCoefficients(SWS_CS_BT2020);
    default:
        // Untagged: HD material is almost always BT.709.
        return sws_getCoefficients(height > 576 ? SWS_CS_ITU709 : SWS_CS_ITU601);
    }
}

bool isFullRange(const AVFrame& frame)
{
    const auto format = static_cast<AVPixelFormat>(frame.format);
    return frame.color_range == AVCOL_RANGE_JPEG || format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
           format == AV_PIX_FMT_YUVJ444P;
}

// Luma weights (Kr, Kb) of the matrix coefficientsFor() picks.
std::pair<double, double> lumaWeights(AVColorSpace space, int height)
{
    switch (space) {
    case AVCOL_SPC_BT709:
        return {0.2126, 0.0722};
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
        return {0.299, 0.114};
    case AVCOL_SPC_SMPTE240M:
        return {0.212, 0.087};
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return {0.2627, 0.0593};
    default:
        return height > 576 ? std::pair{0.2126, 0.0722} : std::pair{0.299, 0.114};
    }
}

// Writes `box` of a BGR image into a limited-range 4:2:0 frame (even edges;
// chroma from the average of each 2×2 block), leaving the rest of the frame
// as it is. Fixed point, 16 fractional bits.
class Yuv420Writer {
public:
    Yuv420Writer(double kr, double kb)
    {
        const double kg = 1 - kr - kb;
        const auto fixed = [](double value) { return static_cast<int>(std::lround(value * 65536)); };
        const double luma = 219.0 / 255, chroma = 224.0 / 255;
        y_ = {fixed(luma * kb), fixed(luma * kg), fixed(luma * kr)};
        // Chroma from sums of four pixels: a quarter of each weight.
        u_ = {fixed(chroma / 2 / 4), fixed(-chroma * kg / (2 * (1 - kb)) / 4), fixed(-chroma * kr / (2 * (1 - kb)) / 4)};
        v_ = {fixed(-chroma * kb / (2 * (1 - kr)) / 4), fixed(-chroma * kg / (2 * (1 - kr)) / 4), fixed(chroma / 2 / 4)};
    }

    void write(const cv::Mat& bgr, AVFrame& frame, cv::Rect box) const
    {
        box.x &= ~1;
        box.y &= ~1;
        box.width = std::min((box.br().x + 1) & ~1, bgr.cols & ~1) - box.x;
        box.height = std::min((box.br().y + 1) & ~1, bgr.rows & ~1) - box.y;
        for (int row = box.y; row < box.br().y; row += 2) {
            const std::uint8_t* upper = bgr.ptr<std::uint8_t>(row);
            const std::uint8_t* lower = bgr.ptr<std::uint8_t>(row + 1);
            std::uint8_t* lumaUpper = frame.data[0] + static_cast<std::ptrdiff_t>(row) * frame.linesize[0];
            std::uint8_t* lumaLower = lumaUpper + frame.linesize[0];
            std::uint8_t* u = frame.data[1] + static_cast<std::ptrdiff_t>(row / 2) * frame.linesize[1];
            std::uint8_t* v = frame.data[2] + static_cast<std::ptrdiff_t>(row / 2) * frame.linesize[2];
            for (int x = box.x; x < box.br().x; x += 2) {
                const std::uint8_t* p[4] = {upper + 3 * x, upper + 3 * x + 3, lower + 3 * x, lower + 3 * x + 3};
                lumaUpper[x] = luma(p[0]);
                lumaUpper[x + 1] = luma(p[1]);
                lumaLower[x] = luma(p[2]);
                lumaLower[x + 1] = luma(p[3]);
                const int b = p[0][0] + p[1][0] + p[2][0] + p[3][0];
                const int g = p[0][1] + p[1][1] + p[2][1] + p[3][1];
                const int r = p[0][2] + p[1][2] + p[2][2] + p[3][2];
                u[x / 2] = clampByte(((u_[0] * b + u_[1] * g + u_[2] * r + 32768) >> 16) + 128);
                v[x / 2] = clampByte(((v_[0] * b + v_[1] * g + v_[2] * r + 32768) >> 16) + 128);
            }
        }
    }

private:
    static std::uint8_t clampByte(int value) { return static_cast<std::uint8_t>(std::clamp(value, 0, 255)); }
    std::uint8_t luma(const std::uint8_t* p) const
    {
        return clampByte(((y_[0] * p[0] + y_[1] * p[1] + y_[2] * p[2] + 32768) >> 16) + 16);
    }

    std::array<int, 3> y_{}, u_{}, v_{}; // weights of B, G, R
};

// Encoded packets of one encoder go to one output stream.
void drainEncoder(AVCodecContext& encoder, AVFormatContext& output, int streamIndex, AVPacket& packet)
{
    for (;;) {
        const int received = avcodec_receive_packet(&encoder, &packet);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
            return;
        checked(received, "encoding");
        av_packet_rescale_ts(&packet, encoder.time_base, output.streams[streamIndex]->time_base);
        packet.stream_index = streamIndex;
        checked(av_interleaved_write_frame(&output, &packet), "writing the video file");
    }
}

// Decodes the source video, draws the masks and encodes H.264.
class VideoPipeline {
public:
    VideoPipeline(AVFormatContext& input, int streamIndex, AVFormatContext& output,
                  VideoComposition::FrameHandler composition)
        : output_(output), composition_(std::move(composition))
        , packet_(makePacket()), decoded_(makeFrame()), encoded_(makeFrame()), passthrough_(makeFrame())
    {
        const AVStream& stream = *input.streams[streamIndex];
        timeBase_ = stream.time_base;
        orientation_ = VideoOrientation::of(stream);

        const AVCodec* decoderCodec = avcodec_find_decoder(stream.codecpar->codec_id);
        if (!decoderCodec)
            throw ScrivelError::exportSessionUnavailable();
        decoder_.reset(avcodec_alloc_context3(decoderCodec));
        if (!decoder_)
            throw std::bad_alloc();
        if (avcodec_parameters_to_context(decoder_.get(), stream.codecpar) < 0)
            throw ScrivelError::exportSessionUnavailable();
        decoder_->pkt_timebase = stream.time_base;
        decoder_->max_pixels = maximumFramePixels(); // also when the size changes midway
        decoder_->thread_count = 0;
        decoder_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        if (avcodec_open2(decoder_.get(), decoderCodec, nullptr) < 0 || decoder_->width <= 0 || decoder_->height <= 0)
            throw ScrivelError::exportSessionUnavailable();

        const AVCodec* encoderCodec = avcodec_find_encoder_by_name("libx264");
        if (!encoderCodec)
            throw ScrivelError::exportSessionUnavailable();
        encoder_.reset(avcodec_alloc_context3(encoderCodec));
        if (!encoder_)
            throw std::bad_alloc();
        const bool swap = orientation_.swapsAxes();
        encoder_->width = swap ? decoder_->height : decoder_->width;
        encoder_->height = swap ? decoder_->width : decoder_->height;
        // 4:2:0 needs even sizes; an odd-sized recording keeps its size in 4:4:4.
        encoder_->pix_fmt = (encoder_->width % 2 == 0 && encoder_->height % 2 == 0) ? AV_PIX_FMT_YUV420P
                                                                                   : AV_PIX_FMT_YUV444P;
        encoder_->time_base = stream.time_base;
        const AVRational frameRate = av_guess_frame_rate(&input, input.streams[streamIndex], nullptr);
        if (frameRate.num > 0 && frameRate.den > 0)
            encoder_->framerate = frameRate;
        encoder_->sample_aspect_ratio = stream.codecpar->sample_aspect_ratio;
        // The source's colour tags where it has them, so untouched frames can
        // pass straight through and drawn ones convert back as they came in.
        const AVCodecParameters& parameters = *stream.codecpar;
        encoder_->colorspace = parameters.color_space != AVCOL_SPC_UNSPECIFIED ? parameters.color_space
                               : encoder_->height > 576                      ? AVCOL_SPC_BT709
                                                                             : AVCOL_SPC_SMPTE170M;
        encoder_->color_primaries = parameters.color_primaries;
        encoder_->color_trc = parameters.color_trc;
        encoder_->color_range = AVCOL_RANGE_MPEG;
        encoder_->thread_count = 0;
        if (output.oformat->flags & AVFMT_GLOBALHEADER)
            encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        av_opt_set(encoder_->priv_data, "preset", VideoExporter::encoderPreset, 0);
        av_opt_set(encoder_->priv_data, "crf", "18", 0);
        if (avcodec_open2(encoder_.get(), encoderCodec, nullptr) < 0)
            throw ScrivelError::exportSessionUnavailable();

        AVStream* out = avformat_new_stream(&output, nullptr);
        if (!out || avcodec_parameters_from_context(out->codecpar, encoder_.get()) < 0)
            throw ScrivelError::exportSessionUnavailable();
        out->time_base = encoder_->time_base;
        if (frameRate.num > 0)
            out->avg_frame_rate = frameRate;
        outputIndex_ = out->index;

        encoded_->format = encoder_->pix_fmt;
        encoded_->width = encoder_->width;
        encoded_->height = encoder_->height;
        checked(av_frame_get_buffer(encoded_.get(), 0), "allocating a frame");
        upright_ = cv::Mat(encoder_->height, encoder_->width, CV_8UC3);
        const auto [kr, kb] = lumaWeights(encoder_->colorspace, encoder_->height);
        yuvWriter_ = Yuv420Writer(kr, kb);
    }

    double lastTimeSeconds() const { return lastTime_; }
    std::int64_t framesEncoded() const { return framesEncoded_; }

    // Decodes one packet (nullptr at the end of the file) and encodes every
    // frame it yields; `beforeFrame` runs before each frame.
    template <class BeforeFrame>
    void send(const AVPacket* packet, BeforeFrame&& beforeFrame)
    {
        const int sent = avcodec_send_packet(decoder_.get(), packet);
        if (sent < 0 && sent != AVERROR_EOF)
            checked(sent, "decoding");
        for (;;) {
            const int received = avcodec_receive_frame(decoder_.get(), decoded_.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
                break;
            checked(received, "decoding");
            beforeFrame();
            encodeFrame(*decoded_);
            ++framesEncoded_;
            av_frame_unref(decoded_.get());
        }
        if (!packet) {
            checked(avcodec_send_frame(encoder_.get(), nullptr), "encoding");
            drainEncoder(*encoder_, output_, outputIndex_, *packet_);
        }
    }

private:
    void encodeFrame(const AVFrame& frame)
    {
        std::int64_t pts = frame.best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE)
            pts = lastPts_ == AV_NOPTS_VALUE ? 0 : lastPts_ + std::max<std::int64_t>(frame.pkt_duration, 1);
        if (lastPts_ != AV_NOPTS_VALUE && pts <= lastPts_)
            pts = lastPts_ + 1; // the encoder needs strictly rising times
        lastPts_ = pts;
        lastTime_ = static_cast<double>(pts) * av_q2d(timeBase_);

        // A 4:2:0 frame already in the encoder's layout keeps its samples
        // outside the masks exactly: a frame with nothing to draw goes to the
        // encoder as decoded, and a drawn one has only its masks' areas replaced.
        const bool sameLayout = orientation_.operation == VideoOrientation::Operation::none &&
                                frame.format == encoder_->pix_fmt && frame.format == AV_PIX_FMT_YUV420P &&
                                !isFullRange(frame) && frame.width == encoder_->width &&
                                frame.height == encoder_->height;
        if (sameLayout && composition_.leavesUnchanged(lastTime_)) {
            checked(av_frame_ref(passthrough_.get(), &frame), "passing a frame on");
            passthrough_->pts = pts;
            passthrough_->pict_type = AV_PICTURE_TYPE_NONE;
            const int sent = avcodec_send_frame(encoder_.get(), passthrough_.get());
            av_frame_unref(passthrough_.get());
            checked(sent, "encoding");
            drainEncoder(*encoder_, output_, outputIndex_, *packet_);
            return;
        }

        // Stored frame -> BGR, turned upright.
        const auto format = static_cast<AVPixelFormat>(frame.format);
        toBgr_.reset(sws_getCachedContext(toBgr_.release(), frame.width, frame.height, format, frame.width,
                                          frame.height, AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr, nullptr, nullptr));
        if (!toBgr_)
            throw ScrivelError::exportFailed("unsupported pixel format in the source video");
        const int* coefficients = coefficientsFor(frame.colorspace, frame.height);
        sws_setColorspaceDetails(toBgr_.get(), coefficients, isFullRange(frame) ? 1 : 0, coefficients, 1, 0, 1 << 16,
                                 1 << 16);
        if (stored_.rows != frame.height || stored_.cols != frame.width)
            stored_ = conversionTarget(frame.height, frame.width);
        std::uint8_t* bgr[4] = {stored_.data, nullptr, nullptr, nullptr};
        int bgrStride[4] = {static_cast<int>(stored_.step[0]), 0, 0, 0};
        sws_scale(toBgr_.get(), frame.data, frame.linesize, 0, frame.height, bgr, bgrStride);
        cv::Mat oriented = orientation_.apply(stored_);
        if (oriented.cols != upright_.cols || oriented.rows != upright_.rows)
            throw ScrivelError::exportFailed("the video changes size midway");

        Image image(oriented);
        composition_(image, lastTime_);

        if (sameLayout) {
            checked(av_frame_make_writable(encoded_.get()), "allocating a frame");
            checked(av_frame_copy(encoded_.get(), &frame), "copying a frame");
            for (const cv::Rect& area : composition_.changedArea(lastTime_, image.pixels.size()))
                yuvWriter_.write(image.pixels, *encoded_, area);
            encoded_->pts = pts;
            checked(avcodec_send_frame(encoder_.get(), encoded_.get()), "encoding");
            drainEncoder(*encoder_, output_, outputIndex_, *packet_);
            return;
        }

        // BGR -> the encoder's YUV.
        toYuv_.reset(sws_getCachedContext(toYuv_.release(), image.width(), image.height(), AV_PIX_FMT_BGR24,
                                          encoder_->width, encoder_->height, encoder_->pix_fmt, SWS_BILINEAR, nullptr,
                                          nullptr, nullptr));
        if (!toYuv_)
            throw ScrivelError::exportSessionUnavailable();
        const int* target = coefficientsFor(encoder_->colorspace, encoder_->height);
        sws_setColorspaceDetails(toYuv_.get(), target, 1, target, 0, 0, 1 << 16, 1 << 16);
        checked(av_frame_make_writable(encoded_.get()), "allocating a frame");
        const std::uint8_t* source[4] = {image.pixels.data, nullptr, nullptr, nullptr};
        int sourceStride[4] = {static_cast<int>(image.pixels.step[0]), 0, 0, 0};
        sws_scale(toYuv_.get(), source, sourceStride, 0, image.height(), encoded_->data, encoded_->linesize);
        encoded_->pts = pts;
        checked(avcodec_send_frame(encoder_.get(), encoded_.get()), "encoding");
        drainEncoder(*encoder_, output_, outputIndex_, *packet_);
    }

    AVFormatContext& output_;
    int outputIndex_ = -1;
    VideoComposition::FrameHandler composition_;
    AVRational timeBase_{0, 1};
    VideoOrientation orientation_;
    CodecContext decoder_;
    CodecContext encoder_;
    SwsContextPtr toBgr_;
    SwsContextPtr toYuv_;
    Packet packet_;
    Frame decoded_;
    Frame encoded_;
    Frame passthrough_;
    Yuv420Writer yuvWriter_{0.2126, 0.0722};
    cv::Mat stored_;
    cv::Mat upright_;
    std::int64_t lastPts_ = AV_NOPTS_VALUE;
    double lastTime_ = 0;
    std::int64_t framesEncoded_ = 0;
};

// An audio stream MP4 cannot hold as it is, re-encoded to AAC.
class AudioReencoder {
public:
    AudioReencoder(const AVStream& stream, AVFormatContext& output)
        : packet_(makePacket()), decoded_(makeFrame()), converted_(makeFrame()), chunk_(makeFrame())
    {
        inputTimeBase_ = stream.time_base;
        const AVCodec* decoderCodec = avcodec_find_decoder(stream.codecpar->codec_id);
        const AVCodec* encoderCodec = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!decoderCodec || !encoderCodec)
            throw ScrivelError::exportSessionUnavailable();
        decoder_.reset(avcodec_alloc_context3(decoderCodec));
        encoder_.reset(avcodec_alloc_context3(encoderCodec));
        if (!decoder_ || !encoder_)
            throw std::bad_alloc();
        if (avcodec_parameters_to_context(decoder_.get(), stream.codecpar) < 0)
            throw ScrivelError::exportSessionUnavailable();
        decoder_->pkt_timebase = stream.time_base;
        if (avcodec_open2(decoder_.get(), decoderCodec, nullptr) < 0)
            throw ScrivelError::exportSessionUnavailable();
        if (decoder_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
            av_channel_layout_default(&decoder_->ch_layout, decoder_->ch_layout.nb_channels);

        encoder_->sample_fmt = encoderCodec->sample_fmts ? encoderCodec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
        encoder_->sample_rate = decoder_->sample_rate;
        if (av_channel_layout_copy(&encoder_->ch_layout, &decoder_->ch_layout) < 0)
            throw std::bad_alloc();
        encoder_->bit_rate = 96000 * std::max(1, std::min(decoder_->ch_layout.nb_channels, 2)) +
                             64000 * std::max(0, decoder_->ch_layout.nb_channels - 2);
        encoder_->time_base = AVRational{1, decoder_->sample_rate};
        if (output.oformat->flags & AVFMT_GLOBALHEADER)
            encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (avcodec_open2(encoder_.get(), encoderCodec, nullptr) < 0)
            throw ScrivelError::exportSessionUnavailable();

        SwrContext* resampler = nullptr;
        if (swr_alloc_set_opts2(&resampler, &encoder_->ch_layout, encoder_->sample_fmt, encoder_->sample_rate,
                                &decoder_->ch_layout, decoder_->sample_fmt, decoder_->sample_rate, 0, nullptr) < 0)
            throw ScrivelError::exportSessionUnavailable();
        resampler_.reset(resampler);
        if (swr_init(resampler_.get()) < 0)
            throw ScrivelError::exportSessionUnavailable();
        fifo_.reset(av_audio_fifo_alloc(encoder_->sample_fmt, encoder_->ch_layout.nb_channels, 4096));
        if (!fifo_)
            throw std::bad_alloc();

        AVStream* out = avformat_new_stream(&output, nullptr);
        if (!out || avcodec_parameters_from_context(out->codecpar, encoder_.get()) < 0)
            throw ScrivelError::exportSessionUnavailable();
        out->time_base = encoder_->time_base;
        out->disposition = stream.disposition;
        outputIndex_ = out->index;
        output_ = &output;
    }

    // One packet of the source stream; nullptr at the end of the file.
    void send(const AVPacket* packet)
    {
        const int sent = avcodec_send_packet(decoder_.get(), packet);
        if (sent < 0 && sent != AVERROR_EOF)
            checked(sent, "decoding audio");
        for (;;) {
            const int received = avcodec_receive_frame(decoder_.get(), decoded_.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
                break;
            checked(received, "decoding audio");
            if (nextPts_ == AV_NOPTS_VALUE)
                nextPts_ = decoded_->best_effort_timestamp == AV_NOPTS_VALUE
                               ? 0
                               : av_rescale_q(decoded_->best_effort_timestamp, inputTimeBase_, encoder_->time_base);
            convert(const_cast<const std::uint8_t**>(decoded_->extended_data), decoded_->nb_samples);
            av_frame_unref(decoded_.get());
            encodeChunks(false);
        }
        if (!packet) {
            convert(nullptr, 0); // what the resampler still holds
            encodeChunks(true);
            checked(avcodec_send_frame(encoder_.get(), nullptr), "encoding audio");
            drainEncoder(*encoder_, *output_, outputIndex_, *packet_);
        }
    }

private:
    void convert(const std::uint8_t** samples, int count)
    {
        const int capacity = swr_get_out_samples(resampler_.get(), count);
        if (capacity <= 0)
            return;
        av_frame_unref(converted_.get());
        converted_->format = encoder_->sample_fmt;
        converted_->sample_rate = encoder_->sample_rate;
        checked(av_channel_layout_copy(&converted_->ch_layout, &encoder_->ch_layout), "resampling audio");
        converted_->nb_samples = capacity;
        checked(av_frame_get_buffer(converted_.get(), 0), "resampling audio");
        const int produced = checked(swr_convert(resampler_.get(), converted_->data, capacity, samples, count),
                                     "resampling audio");
        if (produced > 0 && av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(converted_->data), produced) < produced)
            throw std::bad_alloc();
    }

    void encodeChunks(bool final)
    {
        const int frameSize = encoder_->frame_size > 0 ? encoder_->frame_size : 1024;
        while (av_audio_fifo_size(fifo_.get()) >= frameSize || (final && av_audio_fifo_size(fifo_.get()) > 0)) {
            const int count = std::min(frameSize, av_audio_fifo_size(fifo_.get()));
            av_frame_unref(chunk_.get());
            chunk_->format = encoder_->sample_fmt;
            chunk_->sample_rate = encoder_->sample_rate;
            checked(av_channel_layout_copy(&chunk_->ch_layout, &encoder_->ch_layout), "encoding audio");
            chunk_->nb_samples = count;
            checked(av_frame_get_buffer(chunk_.get(), 0), "encoding audio");
            av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(chunk_->data), count);
            chunk_->pts = nextPts_ == AV_NOPTS_VALUE ? 0 : nextPts_;
            nextPts_ = chunk_->pts + count;
            checked(avcodec_send_frame(encoder_.get(), chunk_.get()), "encoding audio");
            drainEncoder(*encoder_, *output_, outputIndex_, *packet_);
        }
    }

    AVFormatContext* output_ = nullptr;
    int outputIndex_ = -1;
    AVRational inputTimeBase_{0, 1};
    CodecContext decoder_;
    CodecContext encoder_;
    SwrContextPtr resampler_;
    AudioFifo fifo_;
    Packet packet_;
    Frame decoded_;
    Frame converted_;
    Frame chunk_;
    std::int64_t nextPts_ = AV_NOPTS_VALUE;
};

// Where each source stream goes.
struct StreamRoute {
    enum class Kind { drop, video, copy, reencode } kind = Kind::drop;
    int outputIndex = -1;
    std::unique_ptr<AudioReencoder> reencoder;
};

double durationSeconds(const AVFormatContext& input, const AVStream& video)
{
    if (input.duration > 0)
        return static_cast<double>(input.duration) / AV_TIME_BASE;
    if (video.duration > 0)
        return static_cast<double>(video.duration) * av_q2d(video.time_base);
    return 0;
}

// Writes the redacted file at `temporaryFile`; returns the notes.
ExportReport encode(const fs::path& sourcePath, const fs::path& temporaryFile, const ScanResult& scanResult,
                    const RenderSettings& renderSettings, ProgressThrottle& progress, std::stop_token stop,
                    RegionOutlines outlines)
{
    InputFormatContext input = openMediaFile(sourcePath, ScrivelError::exportSessionUnavailable());
    const int videoIndex = firstVideoStream(*input);
    if (videoIndex < 0)
        throw ScrivelError::noVideoTrack();

    AVFormatContext* rawOutput = nullptr;
    if (avformat_alloc_output_context2(&rawOutput, nullptr, "mp4", temporaryFile.c_str()) < 0 || !rawOutput)
        throw ScrivelError::exportSessionUnavailable();
    OutputFormatContext output(rawOutput);

    ExportReport report;
    std::vector<StreamRoute> routes(input->nb_streams);
    // The video stream comes first in the output, then the audio in source order.
    VideoPipeline video(*input, videoIndex, *output,
                        VideoComposition::make(scanResult, renderSettings, outlines == RegionOutlines::shown));
    routes[videoIndex].kind = StreamRoute::Kind::video;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream& stream = *input->streams[i];
        if (stream.codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
            if (static_cast<int>(i) != videoIndex)
                stream.discard = AVDISCARD_ALL;
            continue;
        }
        StreamRoute& route = routes[i];
        if (avformat_query_codec(output->oformat, stream.codecpar->codec_id, FF_COMPLIANCE_NORMAL) == 1) {
            AVStream* out = avformat_new_stream(output.get(), nullptr);
            if (!out || avcodec_parameters_copy(out->codecpar, stream.codecpar) < 0)
                throw ScrivelError::exportSessionUnavailable();
            out->codecpar->codec_tag = 0;
            out->time_base = stream.time_base;
            out->disposition = stream.disposition;
            route.kind = StreamRoute::Kind::copy;
            route.outputIndex = out->index;
        } else {
            route.reencoder = std::make_unique<AudioReencoder>(stream, *output);
            route.kind = StreamRoute::Kind::reencode;
            report.notes.push_back("Audio stream " + std::to_string(i) + " (" +
                                   avcodec_get_name(stream.codecpar->codec_id) +
                                   ") cannot be stored in MP4 as it is and was re-encoded to AAC.");
        }
    }

    checked(avio_open(&output->pb, temporaryFile.c_str(), AVIO_FLAG_WRITE), "creating the temporary file");
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+faststart", 0);
    const int header = avformat_write_header(output.get(), &options);
    av_dict_free(&options);
    if (header < 0)
        throw ScrivelError::exportSessionUnavailable();

    const double duration = durationSeconds(*input, *input->streams[videoIndex]);
    const auto beforeFrame = [&] {
        if (stop.stop_requested())
            throw OperationCancelled();
        if (duration > 0)
            progress.report(video.lastTimeSeconds() / duration);
    };

    Packet packet = makePacket();
    for (;;) {
        const int read = av_read_frame(input.get(), packet.get());
        if (read == AVERROR_EOF)
            break;
        checked(read, "reading the source video");
        // Unreferenced however this iteration ends.
        const std::unique_ptr<AVPacket, void (*)(AVPacket*)> hold(packet.get(), av_packet_unref);
        StreamRoute& route = routes[packet->stream_index];
        switch (route.kind) {
        case StreamRoute::Kind::video:
            video.send(packet.get(), beforeFrame);
            break;
        case StreamRoute::Kind::copy: {
            AVStream& out = *output->streams[route.outputIndex];
            av_packet_rescale_ts(packet.get(), input->streams[packet->stream_index]->time_base, out.time_base);
            packet->stream_index = route.outputIndex;
            packet->pos = -1;
            checked(av_interleaved_write_frame(output.get(), packet.get()), "writing the audio");
            break;
        }
        case StreamRoute::Kind::reencode:
            route.reencoder->send(packet.get());
            break;
        case StreamRoute::Kind::drop:
            break;
        }
    }
    video.send(nullptr, beforeFrame);
    for (StreamRoute& route : routes)
        if (route.reencoder)
            route.reencoder->send(nullptr);
    if (stop.stop_requested())
        throw OperationCancelled();
    // A video track without a single decodable frame is no video to redact.
    if (video.framesEncoded() == 0)
        throw ScrivelError::noVideoTrack();

    checked(av_write_trailer(output.get()), "finishing the video file");
    // avio_closep drops a failed final flush (a full disk); ask for it first.
    avio_flush(output->pb);
    checked(output->pb->error, "finishing the video file");
    checked(avio_closep(&output->pb), "finishing the video file");
    return report;
}

// The finished file reaches the disk before it replaces anything, so a crash
// or power loss right after the rename cannot leave a short file in place.
void syncToDisk(const fs::path& file)
{
    const int descriptor = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        throwPosix(errno, file);
    const int synced = ::fsync(descriptor);
    const int error = errno;
    ::close(descriptor);
    if (synced != 0)
        throw ScrivelError::exportFailed(std::string("finishing the video file: ") + std::strerror(error));
}

fs::path resolved(const fs::path& path)
{
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    if (error)
        return path.lexically_normal();
    const fs::path canonical = fs::weakly_canonical(absolute, error);
    return error ? absolute.lexically_normal() : canonical;
}

} // namespace

void VideoExporter::validateOutput(const fs::path& sourcePath, const fs::path& outputPath)
{
    const fs::path source = resolved(sourcePath);
    const fs::path output = resolved(outputPath);
    if (source == output)
        throw ScrivelError::outputMatchesSource();
    struct stat sourceInfo{};
    struct stat outputInfo{};
    if (::stat(source.c_str(), &sourceInfo) == 0 && ::stat(output.c_str(), &outputInfo) == 0 &&
        sourceInfo.st_dev == outputInfo.st_dev && sourceInfo.st_ino == outputInfo.st_ino)
        throw ScrivelError::outputMatchesSource();
}

ExportReport VideoExporter::exportVideo(const fs::path& sourcePath, const fs::path& outputPath,
                                        const ScanResult& scanResult, const RenderSettings& renderSettings,
                                        const Progress& progress, std::stop_token stop, RegionOutlines outlines)
{
    if (stop.stop_requested())
        throw OperationCancelled();
    const SecurityScopedFileAccess sourceAccess(sourcePath);
    const SecurityScopedFileAccess outputAccess(outputPath);
    validateOutput(sourcePath, outputPath);

    const fs::path destination = fs::absolute(outputPath);
    // rename(2) cannot put a file where a folder is; say so before the work.
    std::error_code notThere;
    if (fs::is_directory(destination, notThere))
        throwPosix(EISDIR, destination);
    const TemporaryDirectory folder(destination.parent_path());
    const fs::path temporaryFile = folder.path() / "export.mp4";
    const HeapReuse heapReuse;

    ProgressThrottle throttle(progress);
    ExportReport report = encode(sourcePath, temporaryFile, scanResult, renderSettings, throttle, stop, outlines);

    syncToDisk(temporaryFile);
    if (stop.stop_requested())
        throw OperationCancelled();
    validateOutput(sourcePath, outputPath);
    if (::rename(temporaryFile.c_str(), destination.c_str()) != 0)
        throwPosix(errno, destination);
    if (progress)
        progress(1.0);
    return report;
}

} // namespace scrivel
