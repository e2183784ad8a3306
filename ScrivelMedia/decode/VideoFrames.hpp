#pragma once

// decode/: the recording in. Opens a file (MediaSource), probes it
// (MediaInspector), and turns its video track into upright BGR frames in
// presentation order (VideoFrames), applying the track's rotation.

#include <filesystem>
#include <optional>
#include <stop_token>
#include <utility>

#include "decode/FfmpegHandles.hpp"
#include "decode/Image.hpp"
#include "decode/VideoOrientation.hpp"

namespace scrivel {

// Reads the frames of a file's first video track once, in presentation
// order, as upright 8-bit BGR images. Used by one thread at a time.
class VideoFrames {
public:
    // Throws VideoScanError::decodeFailed when the file cannot be read as a
    // video, PlatformError for file-system failures.
    explicit VideoFrames(const std::filesystem::path& url);
    ~VideoFrames();
    VideoFrames(const VideoFrames&) = delete;
    VideoFrames& operator=(const VideoFrames&) = delete;

    // (presentation time in seconds, upright frame), or nothing at the end of
    // the track, and nothing again on every later call. Throws
    // OperationCancelled when `stop` was requested (before any decoding) and
    // VideoScanError::decodeFailed when the track cannot be read to its end.
    std::optional<std::pair<double, Image>> next(std::stop_token stop = {});
    // Decodes the next frame like next() but returns only its time: a frame
    // nobody looks at costs no colour conversion.
    std::optional<double> skip(std::stop_token stop = {});

    // The frame scaled down so that its larger side is at most
    // `maximumDimensionPixels` (never enlarged), area-averaged. Shares the
    // pixels of `image` when the size stays. Throws
    // VideoScanError::frameConversionFailed for an empty image.
    static Image raster(const Image& image, std::optional<double> maximumDimensionPixels);
    // The output size raster() gives for a width × height image.
    static cv::Size rasterSize(int width, int height, std::optional<double> maximumDimensionPixels);

private:
    bool receiveFrame();
    // The next frame's time, its pixels left decoded in frame_.
    std::optional<double> decodeNext(std::stop_token stop);
    Image convert(const AVFrame& frame);

    InputFormatContext format_;
    CodecContext decoder_;
    Packet packet_;
    Frame frame_;
    SwsContextPtr scaler_;
    int streamIndex_ = -1;
    AVRational timeBase_{0, 1};
    VideoOrientation orientation_;
    bool demuxerDrained_ = false;
    bool finished_ = false;
};

} // namespace scrivel
