#include "decode/VideoFrames.hpp"

#include <cmath>
#include <cstdint>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "ScrivelCore/Errors.hpp"
#include "decode/ConversionTarget.hpp"
#include "decode/MediaSource.hpp"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace scrivel {

namespace {

// Area averaging from three pixels to two along both axes (a 1080p frame
// rasterized for 1280-pixel detection). Each output pixel covers one and a
// half input pixels each way, weights 1 and 1/2, so its value is an exact
// integer sum over 9 rounded to the nearest: the same as cv::resize's
// INTER_AREA, whose general path for this ratio is three times slower.
void areaTwoThirds(const cv::Mat& bgr, cv::Mat& out)
{
    constexpr int kChannels = 3;
    const int outWidth = bgr.cols / 3 * 2;
    const int outHeight = bgr.rows / 3 * 2;
    out.create(outHeight, outWidth, CV_8UC3);
    const int rowValues = bgr.cols * kChannels;
    // Rows summed in pairs of output rows first (contiguous, vectorised),
    // then columns in pairs of output pixels. The sums fit in 16 bits
    // (at most 3 × 255 per axis step).
    std::vector<std::uint16_t> upper(static_cast<std::size_t>(rowValues));
    std::vector<std::uint16_t> lower(static_cast<std::size_t>(rowValues));
    const auto columns = [outWidth](const std::uint16_t* __restrict sums, std::uint8_t* __restrict row) {
        for (int x = 0; x < outWidth / 2; ++x) {
            const std::uint16_t* in = sums + x * 3 * kChannels;
            std::uint8_t* pair = row + x * 2 * kChannels;
            for (int c = 0; c < kChannels; ++c) {
                const unsigned left = 2U * in[c] + in[kChannels + c];
                const unsigned right = in[kChannels + c] + 2U * in[2 * kChannels + c];
                pair[c] = static_cast<std::uint8_t>((2 * left + 9) / 18);
                pair[kChannels + c] = static_cast<std::uint8_t>((2 * right + 9) / 18);
            }
        }
    };
    for (int y = 0; y < outHeight / 2; ++y) {
        const std::uint8_t* __restrict first = bgr.ptr<std::uint8_t>(3 * y);
        const std::uint8_t* __restrict middle = bgr.ptr<std::uint8_t>(3 * y + 1);
        const std::uint8_t* __restrict last = bgr.ptr<std::uint8_t>(3 * y + 2);
        std::uint16_t* __restrict top = upper.data();
        std::uint16_t* __restrict bottom = lower.data();
        for (int i = 0; i < rowValues; ++i) {
            top[i] = static_cast<std::uint16_t>(2 * first[i] + middle[i]);
            bottom[i] = static_cast<std::uint16_t>(middle[i] + 2 * last[i]);
        }
        columns(top, out.ptr<std::uint8_t>(2 * y));
        columns(bottom, out.ptr<std::uint8_t>(2 * y + 1));
    }
}

// Area averaging from four pixels to three along both axes (a 720p frame
// rasterized for 960-pixel registration and tracking). The weights are 3 and
// 1, 2 and 2, 1 and 3 quarters each way, so an output pixel is an exact
// integer sum over 16. cv::resize's INTER_AREA adds the same fractions
// exactly in float and rounds halves to even; so does this, in a third of the
// time.
void areaThreeQuarters(const cv::Mat& bgr, cv::Mat& out)
{
    constexpr int kChannels = 3;
    const int outWidth = bgr.cols / 4 * 3;
    const int outHeight = bgr.rows / 4 * 3;
    out.create(outHeight, outWidth, CV_8UC3);
    const int rowValues = bgr.cols * kChannels;
    // Sums of at most 4 × 255 per axis: 16 bits hold them.
    std::vector<std::uint16_t> upper(static_cast<std::size_t>(rowValues));
    std::vector<std::uint16_t> middle(static_cast<std::size_t>(rowValues));
    std::vector<std::uint16_t> lower(static_cast<std::size_t>(rowValues));
    const auto rounded = [](unsigned sixteenths) {
        return static_cast<std::uint8_t>((sixteenths + 7 + ((sixteenths >> 4) & 1U)) >> 4);
    };
    const auto columns = [&](const std::uint16_t* __restrict sums, std::uint8_t* __restrict row) {
        for (int x = 0; x < outWidth / 3; ++x) {
            const std::uint16_t* in = sums + x * 4 * kChannels;
            std::uint8_t* triple = row + x * 3 * kChannels;
            for (int c = 0; c < kChannels; ++c) {
                const unsigned a = in[c], b = in[kChannels + c], d = in[2 * kChannels + c], e = in[3 * kChannels + c];
                triple[c] = rounded(3 * a + b);
                triple[kChannels + c] = rounded(2 * (b + d));
                triple[2 * kChannels + c] = rounded(d + 3 * e);
            }
        }
    };
    for (int y = 0; y < outHeight / 3; ++y) {
        const std::uint8_t* __restrict r0 = bgr.ptr<std::uint8_t>(4 * y);
        const std::uint8_t* __restrict r1 = bgr.ptr<std::uint8_t>(4 * y + 1);
        const std::uint8_t* __restrict r2 = bgr.ptr<std::uint8_t>(4 * y + 2);
        const std::uint8_t* __restrict r3 = bgr.ptr<std::uint8_t>(4 * y + 3);
        std::uint16_t* __restrict top = upper.data();
        std::uint16_t* __restrict centre = middle.data();
        std::uint16_t* __restrict bottom = lower.data();
        for (int i = 0; i < rowValues; ++i) {
            top[i] = static_cast<std::uint16_t>(3 * r0[i] + r1[i]);
            centre[i] = static_cast<std::uint16_t>(2 * (r1[i] + r2[i]));
            bottom[i] = static_cast<std::uint16_t>(r2[i] + 3 * r3[i]);
        }
        columns(top, out.ptr<std::uint8_t>(3 * y));
        columns(centre, out.ptr<std::uint8_t>(3 * y + 1));
        columns(bottom, out.ptr<std::uint8_t>(3 * y + 2));
    }
}

int swsColorspace(const AVFrame& frame)
{
    switch (frame.colorspace) {
    case AVCOL_SPC_BT709:
        return SWS_CS_ITU709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
        return SWS_CS_ITU601;
    case AVCOL_SPC_SMPTE240M:
        return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return SWS_CS_BT2020;
    default:
        // Untagged: HD material is almost always BT.709.
        return frame.height > 576 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    }
}

bool isFullRange(const AVFrame& frame)
{
    if (frame.color_range == AVCOL_RANGE_JPEG)
        return true;
    const auto format = static_cast<AVPixelFormat>(frame.format);
    return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P;
}

} // namespace

VideoFrames::VideoFrames(const std::filesystem::path& url)
    : format_(openMediaFile(url, VideoScanError::decodeFailed()))
    , packet_(makePacket())
    , frame_(makeFrame())
{
    streamIndex_ = firstVideoStream(*format_);
    if (streamIndex_ < 0)
        throw VideoScanError::decodeFailed();
    for (unsigned i = 0; i < format_->nb_streams; ++i)
        if (static_cast<int>(i) != streamIndex_)
            format_->streams[i]->discard = AVDISCARD_ALL;

    const AVStream& stream = *format_->streams[streamIndex_];
    timeBase_ = stream.time_base;
    orientation_ = VideoOrientation::of(stream);

    const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
    if (!codec)
        throw VideoScanError::decodeFailed();
    decoder_.reset(avcodec_alloc_context3(codec));
    if (!decoder_)
        throw std::bad_alloc();
    throwIfError(avcodec_parameters_to_context(decoder_.get(), stream.codecpar), "video decoder parameters");
    decoder_->pkt_timebase = stream.time_base;
    decoder_->max_pixels = maximumFramePixels(); // also when the size changes midway
    decoder_->thread_count = 0; // one thread per core
    decoder_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    if (avcodec_open2(decoder_.get(), codec, nullptr) < 0)
        throw VideoScanError::decodeFailed();
}

VideoFrames::~VideoFrames() = default;

bool VideoFrames::receiveFrame()
{
    for (;;) {
        const int received = avcodec_receive_frame(decoder_.get(), frame_.get());
        if (received >= 0)
            return true;
        if (received == AVERROR_EOF)
            return false;
        if (received != AVERROR(EAGAIN))
            throw VideoScanError::decodeFailed();

        if (demuxerDrained_)
            throw VideoScanError::decodeFailed(); // a drained decoder may not ask for more
        const int read = av_read_frame(format_.get(), packet_.get());
        if (read == AVERROR_EOF) {
            demuxerDrained_ = true;
            if (avcodec_send_packet(decoder_.get(), nullptr) < 0)
                throw VideoScanError::decodeFailed();
            continue;
        }
        if (read < 0)
            throw VideoScanError::decodeFailed(); // damaged or truncated file
        if (packet_->stream_index != streamIndex_) {
            av_packet_unref(packet_.get());
            continue;
        }
        const int sent = avcodec_send_packet(decoder_.get(), packet_.get());
        av_packet_unref(packet_.get());
        if (sent < 0)
            throw VideoScanError::decodeFailed();
    }
}

Image VideoFrames::convert(const AVFrame& frame)
{
    if (frame.width <= 0 || frame.height <= 0)
        throw VideoScanError::decodeFailed();
    const auto pixelFormat = static_cast<AVPixelFormat>(frame.format);
    scaler_.reset(sws_getCachedContext(scaler_.release(), frame.width, frame.height, pixelFormat,
        frame.width, frame.height, AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scaler_)
        throw VideoScanError::decodeFailed();
    const int* coefficients = sws_getCoefficients(swsColorspace(frame));
    sws_setColorspaceDetails(scaler_.get(), coefficients, isFullRange(frame) ? 1 : 0, coefficients, 1, 0, 1 << 16, 1 << 16);

    // swscale writes straight into the image's buffer.
    cv::Mat stored = conversionTarget(frame.height, frame.width);
    uint8_t* destination[4] = {stored.data, nullptr, nullptr, nullptr};
    int destinationStride[4] = {static_cast<int>(stored.step[0]), 0, 0, 0};
    const int rows = sws_scale(scaler_.get(), frame.data, frame.linesize, 0, frame.height, destination, destinationStride);
    if (rows != frame.height)
        throw VideoScanError::decodeFailed();
    return Image(orientation_.apply(stored));
}

std::optional<double> VideoFrames::decodeNext(std::stop_token stop)
{
    if (stop.stop_requested())
        throw OperationCancelled();
    if (finished_)
        return std::nullopt;
    bool received = false;
    try {
        received = receiveFrame();
    } catch (...) {
        finished_ = true; // a failed reader stays at its end
        throw;
    }
    if (!received) {
        finished_ = true;
        return std::nullopt;
    }
    const std::int64_t timestamp = frame_->best_effort_timestamp;
    const double time = timestamp == AV_NOPTS_VALUE ? NAN : static_cast<double>(timestamp) * av_q2d(timeBase_);
    if (!std::isfinite(time)) {
        av_frame_unref(frame_.get());
        throw VideoScanError::decodeFailed();
    }
    return time;
}

std::optional<std::pair<double, Image>> VideoFrames::next(std::stop_token stop)
{
    const std::optional<double> time = decodeNext(stop);
    if (!time)
        return std::nullopt;
    Image image = convert(*frame_);
    av_frame_unref(frame_.get());
    return std::make_pair(*time, std::move(image));
}

std::optional<double> VideoFrames::skip(std::stop_token stop)
{
    const std::optional<double> time = decodeNext(stop);
    av_frame_unref(frame_.get());
    return time;
}

cv::Size VideoFrames::rasterSize(int width, int height, std::optional<double> maximumDimensionPixels)
{
    double scale = 1;
    if (maximumDimensionPixels)
        scale = std::min(1.0, *maximumDimensionPixels / std::max(width, height));
    // llround rounds halves away from zero.
    const auto outputWidth = std::max<long long>(1, std::llround(scale * width));
    const auto outputHeight = std::max<long long>(1, std::llround(scale * height));
    return {static_cast<int>(outputWidth), static_cast<int>(outputHeight)};
}

Image VideoFrames::raster(const Image& image, std::optional<double> maximumDimensionPixels)
{
    if (image.empty())
        throw VideoScanError::frameConversionFailed();
    const cv::Size size = rasterSize(image.width(), image.height(), maximumDimensionPixels);
    if (size == image.pixels.size())
        return image;
    cv::Mat scaled;
    const bool bgr = image.pixels.type() == CV_8UC3;
    const auto exactly = [&](int from, int to) {
        return image.width() % from == 0 && image.height() % from == 0 &&
               size == cv::Size(image.width() / from * to, image.height() / from * to);
    };
    if (bgr && exactly(3, 2))
        areaTwoThirds(image.pixels, scaled);
    else if (bgr && exactly(4, 3))
        areaThreeQuarters(image.pixels, scaled);
    else
        cv::resize(image.pixels, scaled, size, 0, 0, cv::INTER_AREA);
    return Image(std::move(scaled));
}

} // namespace scrivel
