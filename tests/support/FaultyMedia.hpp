#pragma once

// Test media with the shapes that break naive readers: several video or
// audio tracks, irregular frame times, no frames at all, odd and extreme
// frame sizes, and files damaged after writing. Written with the FFmpeg
// libraries directly; nothing here is used by the product.

#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace scrivel::test {

struct VideoTrackSpec {
    int width = 64; // any size from 1; odd sizes are stored as 4:4:4
    int height = 48;
    // Presentation time of each frame in seconds (rising); empty: a track
    // with no frames at all.
    std::vector<double> times;
    // Frames are this colour with a white square that moves one step per frame.
    cv::Scalar colour{40, 160, 40};
    int keyframeInterval = 12;
    // Give every sample its duration (the gap to the next frame), as
    // recorders do; without, samples last no time at all.
    bool stampDurations = true;
};

struct AudioTrackSpec {
    int channels = 2;
    double toneHz = 440;
    double seconds = 0.5;
};

// `count` times spaced 1/framesPerSecond apart from 0.
std::vector<double> evenTimes(int count, double framesPerSecond);

// The frame writeTracks draws for frame `index` of a track.
cv::Mat trackFrame(const VideoTrackSpec& format, int index);

// H.264 video tracks (no B-frames, so decode order is presentation order)
// and AAC audio tracks, in the order given; the container follows the
// extension. Throws std::runtime_error with FFmpeg's text.
void writeTracks(const std::filesystem::path& path, const std::vector<VideoTrackSpec>& videos,
                 const std::vector<AudioTrackSpec>& audios = {});

// A MOV file with one PNG frame whose header claims width × height pixels;
// the picture data itself is missing, so only the claim is large.
void writeOversizedPicture(const std::filesystem::path& path, int width, int height);

// Overwrites the payload of the first video track's packets number
// [first, last) (file order) with `fill` bytes, in place: the container
// stays intact, the codec data does not.
void corruptVideoPackets(const std::filesystem::path& path, int first, int last, unsigned char fill = 0xFF);

// Hex MD5 of the file's bytes.
std::string fileDigest(const std::filesystem::path& path);

// What a written file holds, read back with libavformat.
struct StreamSummary {
    bool video = false; // else audio (other kinds are not listed)
    int width = 0;
    int height = 0;
    std::vector<std::string> packetDigests; // hex MD5 of each packet, file order
    std::vector<double> packetSeconds;      // presentation time of each packet, file order
};
std::vector<StreamSummary> summarize(const std::filesystem::path& path);

// Names in `folder` besides `expected`.
std::vector<std::string> entriesBesides(const std::filesystem::path& folder, const std::vector<std::string>& expected);

// A private folder, removed with its contents afterwards.
struct ScratchFolder {
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    // Names in the folder besides `expected`.
    std::vector<std::string> strays(const std::vector<std::string>& expected) const
    {
        return entriesBesides(path, expected);
    }
    std::filesystem::path path;
};

} // namespace scrivel::test
