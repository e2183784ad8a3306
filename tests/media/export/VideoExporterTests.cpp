#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <stop_token>

#include <unistd.h>

#include <opencv2/imgproc.hpp>

#include "ScrivelCore/Errors.hpp"
#include "decode/FfmpegHandles.hpp"
#include "export/VideoExporter.hpp"
#include "decode/VideoFrames.hpp"
#include "support/ClipWriter.hpp"

namespace scrivel {
namespace {

namespace fs = std::filesystem;
using test::ClipAudioCodec;
using test::ClipSpec;

// A private folder per test, removed afterwards.
struct Workspace {
    Workspace()
    {
        std::string pattern = (fs::temp_directory_path() / "scrivel-export-test-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~Workspace()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    // Anything left in the folder besides the named files.
    std::vector<std::string> strays(const std::vector<std::string>& expected) const
    {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(path)) {
            const std::string name = entry.path().filename().string();
            if (std::find(expected.begin(), expected.end(), name) == expected.end())
                found.push_back(name);
        }
        return found;
    }
    fs::path path;
};

std::string contents(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void writeText(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// A grey picture with a dark bar in its upper left quarter.
cv::Mat barFrame(int width, int height, int index)
{
    cv::Mat frame(height, width, CV_8UC3, cv::Scalar(128, 128, 128));
    cv::rectangle(frame, cv::Rect(width / 8, height / 8, width / 4, height / 8), cv::Scalar(20, 20, 20), cv::FILLED);
    cv::putText(frame, std::to_string(index), {width / 2, height * 3 / 4}, cv::FONT_HERSHEY_SIMPLEX, 1, {255, 255, 255});
    return frame;
}

fs::path makeClip(const fs::path& path, ClipSpec format)
{
    test::writeClip(path, format, [&format](int index) { return barFrame(format.width, format.height, index); });
    return path;
}

// One mask over the whole bar, on every frame from t = 0.
ScanResult scanOverBar()
{
    DetectedRegion region;
    region.rect = {0.125, 0.125, 0.25, 0.125};
    region.selections.push_back({{0, 0, 1, 1}, RedactionKind::all, "bar"});
    region.trackID = 1;
    region.backgroundColor = 0x808080;
    ScanResult result;
    result.duration = 10;
    result.frameRate = 24;
    result.sampleCount = 1;
    result.totalRegions = 1;
    result.samples.push_back({0, 0, {region}});
    return result;
}

RenderSettings solidWhite()
{
    RenderSettings settings;
    settings.style = MaskStyle::solid;
    settings.opacity = 1;
    settings.solidColor = 0xFFFFFF;
    return settings;
}

struct AudioPacket {
    std::string bytes;
    double ptsSeconds;
    bool operator==(const AudioPacket&) const = default;
};

struct StreamFacts {
    int width = 0, height = 0;
    AVRational frameRate{0, 1};
    int videoPackets = 0;
    double durationSeconds = 0;
    bool hasDisplayMatrix = false;
    AVCodecID videoCodec = AV_CODEC_ID_NONE;
    AVCodecID audioCodec = AV_CODEC_ID_NONE;
    double audioSeconds = 0;
    std::vector<AudioPacket> audio;
};

StreamFacts facts(const fs::path& path)
{
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        throw std::runtime_error("cannot open " + path.string());
    InputFormatContext input(raw);
    avformat_find_stream_info(input.get(), nullptr);
    StreamFacts result;
    result.durationSeconds = static_cast<double>(input->duration) / AV_TIME_BASE;
    int videoIndex = -1, audioIndex = -1;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream& stream = *input->streams[i];
        if (stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO && videoIndex < 0) {
            videoIndex = static_cast<int>(i);
            result.width = stream.codecpar->width;
            result.height = stream.codecpar->height;
            result.frameRate = stream.avg_frame_rate;
            result.videoCodec = stream.codecpar->codec_id;
            result.hasDisplayMatrix = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr) != nullptr;
        } else if (stream.codecpar->codec_type == AVMEDIA_TYPE_AUDIO && audioIndex < 0) {
            audioIndex = static_cast<int>(i);
            result.audioCodec = stream.codecpar->codec_id;
            result.audioSeconds = static_cast<double>(stream.duration) * av_q2d(stream.time_base);
        }
    }
    Packet packet = makePacket();
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == videoIndex)
            ++result.videoPackets;
        if (packet->stream_index == audioIndex)
            result.audio.push_back({std::string(reinterpret_cast<const char*>(packet->data), packet->size),
                                    packet->pts * av_q2d(input->streams[audioIndex]->time_base)});
        av_packet_unref(packet.get());
    }
    return result;
}

ClipSpec smallClip()
{
    ClipSpec format;
    format.width = 160;
    format.height = 96;
    format.frameCount = 24;
    format.frameRate = 24;
    format.audioCodec = ClipAudioCodec::aac;
    return format;
}

TEST(VideoExporter, KeepsSizeTimingAndAudioPacketsAndDrawsTheMasks)
{
    Workspace dir;
    const fs::path source = makeClip(dir.path / "source.mp4", smallClip());
    const fs::path output = dir.path / "out.mp4";
    RenderSettings settings = solidWhite();
    settings.solidColor = 0x3366CC;
    const ExportReport report = VideoExporter::exportVideo(source, output, scanOverBar(), settings, {});
    EXPECT_TRUE(report.notes.empty());

    const StreamFacts before = facts(source);
    const StreamFacts after = facts(output);
    EXPECT_EQ(after.videoCodec, AV_CODEC_ID_H264);
    EXPECT_EQ(after.videoPackets, before.videoPackets);
    EXPECT_EQ(after.videoPackets, 24);
    EXPECT_EQ(after.width, before.width);
    EXPECT_EQ(after.height, before.height);
    EXPECT_EQ(av_cmp_q(after.frameRate, before.frameRate), 0);
    EXPECT_NEAR(after.durationSeconds, before.durationSeconds, 1e-3);
    EXPECT_EQ(after.audioCodec, AV_CODEC_ID_AAC);
    ASSERT_FALSE(before.audio.empty());
    EXPECT_EQ(after.audio, before.audio) << "audio packets are copied unchanged, with their times";

    // The bar is under the mask's colour in every frame; the rest of the picture survives.
    VideoFrames frames(output);
    int count = 0;
    while (auto frame = frames.next()) {
        const cv::Mat& pixels = frame->second.pixels;
        const cv::Vec3b masked = pixels.at<cv::Vec3b>(18, 40);
        const cv::Vec3b plain = pixels.at<cv::Vec3b>(60, 10);
        EXPECT_NEAR(masked[0], 0xCC, 6);
        EXPECT_NEAR(masked[1], 0x66, 6);
        EXPECT_NEAR(masked[2], 0x33, 6);
        EXPECT_NEAR(plain[1], 128, 4);
        ++count;
    }
    EXPECT_EQ(count, 24);
    EXPECT_TRUE(dir.strays({"source.mp4", "out.mp4"}).empty());
}

TEST(VideoExporter, MasksFollowTheTimelineAndManualMaskTimes)
{
    Workspace dir;
    ClipSpec format = smallClip();
    format.audioCodec = ClipAudioCodec::none;
    const fs::path source = makeClip(dir.path / "source.mp4", format);
    const fs::path output = dir.path / "out.mp4";
    // The bar is masked for the first half second only; a manual mask over
    // the lower right corner covers frames 6..17 (0.25 s up to 0.75 s).
    ScanResult scan = scanOverBar();
    scan.samples.push_back({0.5, 0, {}});
    RenderSettings settings = solidWhite();
    settings.manualMasks.push_back({"m", {0.75, 0.75, 0.25, 0.25}, 0.25, 0.75, true});
    VideoExporter::exportVideo(source, output, scan, settings, {});

    VideoFrames frames(output);
    int index = 0;
    while (auto frame = frames.next()) {
        const cv::Mat& pixels = frame->second.pixels;
        const bool barMasked = pixels.at<cv::Vec3b>(18, 40)[0] > 240;
        const bool cornerMasked = pixels.at<cv::Vec3b>(90, 150)[0] < 40; // (0.063, 0.075, 0.094)
        EXPECT_EQ(barMasked, index < 12) << "frame " << index;
        EXPECT_EQ(cornerMasked, index >= 6 && index < 18) << "frame " << index;
        ++index;
    }
    EXPECT_EQ(index, 24);
}

TEST(VideoExporter, ReencodesAudioMp4CannotHoldAndSaysSo)
{
    Workspace dir;
    ClipSpec format = smallClip();
    format.audioCodec = ClipAudioCodec::pcm;
    const fs::path source = makeClip(dir.path / "source.mov", format);
    const fs::path output = dir.path / "out.mp4";
    const ExportReport report = VideoExporter::exportVideo(source, output, scanOverBar(), solidWhite(), {});
    ASSERT_EQ(report.notes.size(), 1u);
    EXPECT_NE(report.notes[0].find("AAC"), std::string::npos);
    const StreamFacts after = facts(output);
    EXPECT_EQ(after.audioCodec, AV_CODEC_ID_AAC);
    EXPECT_NEAR(after.audioSeconds, 1.0, 0.05);
    EXPECT_EQ(after.videoPackets, 24);
}

TEST(VideoExporter, WritesRotatedRecordingsUpright)
{
    Workspace dir;
    ClipSpec format = smallClip();
    format.rotationDegrees = 90;
    format.audioCodec = ClipAudioCodec::none;
    const fs::path source = makeClip(dir.path / "source.mp4", format);
    const fs::path output = dir.path / "out.mp4";
    VideoExporter::exportVideo(source, output, ScanResult{}, solidWhite(), {});
    const StreamFacts after = facts(output);
    EXPECT_EQ(after.width, 96);
    EXPECT_EQ(after.height, 160);
    EXPECT_FALSE(after.hasDisplayMatrix);
}

TEST(VideoExporter, RefusesEveryPathToTheSourceAndLeavesItAlone)
{
    Workspace dir;
    ClipSpec format = smallClip();
    format.frameCount = 4;
    const fs::path source = makeClip(dir.path / "source.mp4", format);
    fs::create_directory(dir.path / "sub");
    fs::create_symlink(source, dir.path / "link.mp4");
    fs::create_hard_link(source, dir.path / "hard.mp4");
    const std::string original = contents(source);

    for (const fs::path& target : {source, dir.path / "sub" / ".." / "source.mp4", dir.path / "link.mp4",
                                   dir.path / "hard.mp4"}) {
        try {
            VideoExporter::exportVideo(source, target, scanOverBar(), solidWhite(), {});
            ADD_FAILURE() << "exported onto " << target;
        } catch (const ScrivelError& error) {
            EXPECT_EQ(error.code(), ScrivelError::Code::outputMatchesSource);
            EXPECT_STREQ(error.what(), "Choose a different output file to keep the original recording safe.");
        }
        EXPECT_EQ(contents(source), original) << target;
    }
    // Also when the source is named through the link.
    EXPECT_THROW(VideoExporter::validateOutput(dir.path / "link.mp4", source), ScrivelError);
    EXPECT_NO_THROW(VideoExporter::validateOutput(source, dir.path / "new.mp4"));
    EXPECT_TRUE(dir.strays({"source.mp4", "sub", "link.mp4", "hard.mp4"}).empty());
}

TEST(VideoExporter, CancellingLeavesTheDestinationAndNoTemporaryFolder)
{
    Workspace dir;
    ClipSpec format = smallClip();
    format.frameCount = 48;
    const fs::path source = makeClip(dir.path / "source.mp4", format);
    const fs::path output = dir.path / "out.mp4";
    writeText(output, "previous export");

    std::stop_source stop;
    int reports = 0;
    EXPECT_THROW(VideoExporter::exportVideo(source, output, scanOverBar(), solidWhite(),
                                            [&](double) {
                                                ++reports;
                                                stop.request_stop();
                                            },
                                            stop.get_token()),
                 OperationCancelled);
    EXPECT_EQ(reports, 1) << "cancelled at the next frame";
    EXPECT_EQ(contents(output), "previous export");
    EXPECT_TRUE(dir.strays({"source.mp4", "out.mp4"}).empty());

    // Already cancelled: nothing is even started.
    EXPECT_THROW(VideoExporter::exportVideo(source, output, scanOverBar(), solidWhite(), {}, stop.get_token()),
                 OperationCancelled);
    EXPECT_EQ(contents(output), "previous export");
    EXPECT_TRUE(dir.strays({"source.mp4", "out.mp4"}).empty());
}

TEST(VideoExporter, ProgressStaysAtMostPoint99UntilTheFileIsInPlace)
{
    Workspace dir;
    ClipSpec format = smallClip();
    format.frameCount = 48;
    const fs::path source = makeClip(dir.path / "source.mp4", format);
    const fs::path output = dir.path / "out.mp4";
    writeText(output, "previous export");
    std::vector<double> values;
    VideoExporter::exportVideo(source, output, scanOverBar(), solidWhite(), [&](double value) {
        values.push_back(value);
        if (value >= 1.0) {
            EXPECT_NE(contents(output), "previous export") << "1.0 only once the file is in place";
        }
    });
    ASSERT_GE(values.size(), 2u);
    EXPECT_EQ(values.back(), 1.0);
    for (std::size_t i = 0; i + 1 < values.size(); ++i) {
        EXPECT_GE(values[i], 0.0);
        EXPECT_LE(values[i], 0.99);
        EXPECT_LE(values[i], values[i + 1]);
    }
    EXPECT_NE(contents(output), "previous export");
    EXPECT_EQ(facts(output).videoPackets, 48);
}

TEST(VideoExporter, FailuresLeaveTheDestinationAndNoTemporaryFolder)
{
    Workspace dir;
    const fs::path output = dir.path / "out.mp4";
    writeText(output, "previous export");
    writeText(dir.path / "notes.mp4", "not a video at all");
    try {
        VideoExporter::exportVideo(dir.path / "notes.mp4", output, scanOverBar(), solidWhite(), {});
        ADD_FAILURE() << "exported a text file";
    } catch (const ScrivelError& error) {
        EXPECT_EQ(error.code(), ScrivelError::Code::exportSessionUnavailable);
        EXPECT_STREQ(error.what(), "Scrivel could not create a video export session for this file.");
    }
    EXPECT_EQ(contents(output), "previous export");
    EXPECT_TRUE(dir.strays({"notes.mp4", "out.mp4"}).empty());

    // A destination rename(2) cannot replace: the POSIX error names the path.
    ClipSpec format = smallClip();
    format.frameCount = 4;
    const fs::path source = makeClip(dir.path / "source.mp4", format);
    fs::create_directory(dir.path / "taken");
    writeText(dir.path / "taken" / "keep", "x");
    try {
        VideoExporter::exportVideo(source, dir.path / "taken", scanOverBar(), solidWhite(), {});
        ADD_FAILURE() << "renamed onto a directory";
    } catch (const PlatformError& error) {
        EXPECT_NE(std::string(error.what()).find((dir.path / "taken").string()), std::string::npos) << error.what();
    }
    EXPECT_TRUE(dir.strays({"notes.mp4", "out.mp4", "source.mp4", "taken"}).empty());

    // A destination folder that does not exist.
    EXPECT_THROW(VideoExporter::exportVideo(source, dir.path / "missing" / "out.mp4", scanOverBar(), solidWhite(), {}),
                 PlatformError);
}

} // namespace
} // namespace scrivel
