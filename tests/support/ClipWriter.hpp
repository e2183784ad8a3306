#pragma once

// Test media made on the fly: small clips encoded with the FFmpeg libraries
// from frames drawn with OpenCV, so tests and benchmarks know exactly what is
// on screen, where and when. Nothing here is used by the product.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace scrivel::test {

enum class ClipVideoCodec { h264, mpeg4 };
enum class ClipAudioCodec { none, aac, pcm }; // pcm (16-bit) needs a .mov file

struct ClipSpec {
    int width = 320;  // even sizes: the encoders store 4:2:0 chroma
    int height = 240;
    int frameCount = 10;
    double frameRate = 30;
    ClipVideoCodec videoCodec = ClipVideoCodec::h264;
    // H.264 constant rate factor; 0 is lossless luma (4:2:0 chroma still).
    int h264Crf = 12;
    int gopSize = 12;
    int maxBFrames = 2;
    ClipAudioCodec audioCodec = ClipAudioCodec::none;
    int audioChannels = 2;
    int audioSampleRate = 48000;
    double toneHz = 440;
    // Clockwise display rotation written as the track's display matrix
    // (0, 90, 180 or 270); frames are given as stored, before rotation.
    int rotationDegrees = 0;
    // Put the index (moov) before the media data, as streaming-ready files do;
    // a truncated copy then still opens and fails only while decoding.
    bool indexFirst = false;
};

// Produces frame `index` (0-based) as 8-bit BGR of exactly the clip's size.
using FrameSource = std::function<cv::Mat(int index)>;

// Writes the clip; the container follows the extension (.mp4, .mov, .m4v).
// Throws std::runtime_error with FFmpeg's text on failure.
void writeClip(const std::filesystem::path& path, const ClipSpec& format, const FrameSource& frames);

// A file holding only an audio track (a tone) of the given length.
void writeAudioOnlyClip(const std::filesystem::path& path, double seconds,
    ClipAudioCodec codec = ClipAudioCodec::aac, int channels = 2);

// --- frame drawing ---------------------------------------------------------

cv::Mat flatFrame(cv::Size size, cv::Scalar bgr);

struct TextItem {
    std::string text;
    cv::Point origin; // baseline start, pixels from the top-left
    double fontScale = 1.0;
    cv::Scalar colour{0, 0, 0};
    int thickness = 2;
};

// Background filled with `background`, the items drawn with cv::putText
// (Hershey simplex, anti-aliased).
cv::Mat textFrame(cv::Size size, const std::vector<TextItem>& items, cv::Scalar background = {255, 255, 255});

// A tall page of varied text lines (words, digits, punctuation), black on
// white, deterministic for a seed. Useful as scroll content.
cv::Mat textPage(int width, int height, unsigned seed = 1, int lineSpacingPixels = 28);

// The view of `page` whose top-left corner is at (offsetX, offsetY); parts
// outside the page are white.
cv::Mat scrolledView(const cv::Mat& page, cv::Size view, int offsetX, int offsetY);

// `content` scaled by `scale` about the view's centre (cubic interpolation).
cv::Mat zoomedView(const cv::Mat& content, double scale);

// Frame source that plays `scenes[k]` from `cutIndices[k-1]` (inclusive) on;
// scene k sees indices relative to its own start.
FrameSource withCuts(std::vector<int> cutIndices, std::vector<FrameSource> scenes);

// A unique temporary path with the given extension, removed by the caller.
std::filesystem::path temporaryMediaPath(const std::string& extension);

// Removes its file on destruction.
struct TemporaryFile {
    explicit TemporaryFile(const std::string& extension) : path(temporaryMediaPath(extension)) {}
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    std::filesystem::path path;
};

// A fresh private folder (mkdtemp), removed with everything in it.
struct TemporaryFolder {
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    std::filesystem::path path;
};

} // namespace scrivel::test
