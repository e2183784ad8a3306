#include <fstream>
#include <regex>

#include <gtest/gtest.h>

#include "ScrivelCore/Errors.hpp"
#include "decode/MediaInspector.hpp"
#include "decode/VideoFrames.hpp"
#include "support/ClipWriter.hpp"

using namespace scrivel;
using namespace scrivel::test;

namespace {

const char* const kNoVideoTrack = "The selected file does not contain a readable video track.";

template <class Call>
std::string scrivelErrorMessage(Call call)
{
    try {
        call();
    } catch (const ScrivelError& error) {
        EXPECT_EQ(error.code(), ScrivelError::Code::noVideoTrack);
        return error.what();
    }
    return "(no error)";
}

struct ProbeCase {
    const char* name;
    const char* extension;
    ClipVideoCodec codec;
    ClipAudioCodec audio;
    int rotation;
    int storedWidth, storedHeight;
    int expectedWidth, expectedHeight;
    double frameRate;
    int frameCount;
};

class InspectClip : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(InspectClip, ReportsOrientedSizeDurationRateAndFile)
{
    const ProbeCase& c = GetParam();
    TemporaryFile file(c.extension);
    ClipSpec format;
    format.width = c.storedWidth;
    format.height = c.storedHeight;
    format.videoCodec = c.codec;
    format.audioCodec = c.audio;
    format.rotationDegrees = c.rotation;
    format.frameRate = c.frameRate;
    format.frameCount = c.frameCount;
    writeClip(file.path, format, [&](int) { return flatFrame({c.storedWidth, c.storedHeight}, {40, 90, 200}); });

    const VideoInfo info = MediaInspector::inspect(file.path);
    EXPECT_EQ(info.width, c.expectedWidth);
    EXPECT_EQ(info.height, c.expectedHeight);
    EXPECT_EQ(info.displayName, file.path.filename().string());
    EXPECT_NEAR(info.duration, c.frameCount / c.frameRate, 0.05);
    EXPECT_NEAR(info.nominalFrameRate, c.frameRate, 0.01);
    EXPECT_EQ(info.fileSize, static_cast<std::int64_t>(std::filesystem::file_size(file.path)));
    EXPECT_TRUE(std::regex_match(info.id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << info.id;
    EXPECT_NE(MediaInspector::inspect(file.path).id, info.id);
}

INSTANTIATE_TEST_SUITE_P(Clips, InspectClip,
    ::testing::Values(
        ProbeCase{"landscape", ".mp4", ClipVideoCodec::h264, ClipAudioCodec::none, 0, 96, 64, 96, 64, 30, 6},
        ProbeCase{"portrait90", ".mp4", ClipVideoCodec::h264, ClipAudioCodec::aac, 90, 96, 64, 64, 96, 25, 5},
        ProbeCase{"upsideDown", ".mov", ClipVideoCodec::mpeg4, ClipAudioCodec::pcm, 180, 96, 64, 96, 64, 10, 4},
        ProbeCase{"portrait270", ".m4v", ClipVideoCodec::mpeg4, ClipAudioCodec::none, 270, 64, 32, 32, 64, 12, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MediaInspector, PortraitRecordingStoredLandscapeReportsPortraitSize)
{
    TemporaryFile file(".mp4");
    ClipSpec format;
    format.width = 1920;
    format.height = 1080;
    format.frameCount = 1;
    format.rotationDegrees = 90;
    writeClip(file.path, format, [](int) { return flatFrame({1920, 1080}, {0, 0, 0}); });
    const VideoInfo info = MediaInspector::inspect(file.path);
    EXPECT_EQ(info.width, 1080);
    EXPECT_EQ(info.height, 1920);
}

TEST(MediaInspector, FilesWithoutAReadableVideoTrackAreRejectedWithTheUserMessage)
{
    TemporaryFile audioOnly(".mp4");
    writeAudioOnlyClip(audioOnly.path, 0.5);
    EXPECT_EQ(scrivelErrorMessage([&] { MediaInspector::inspect(audioOnly.path); }), kNoVideoTrack);

    TemporaryFile text(".mp4");
    std::ofstream(text.path) << "This is a note, not a video.\n";
    EXPECT_EQ(scrivelErrorMessage([&] { MediaInspector::inspect(text.path); }), kNoVideoTrack);

    TemporaryFile empty(".mov");
    std::ofstream{empty.path};
    EXPECT_EQ(scrivelErrorMessage([&] { MediaInspector::inspect(empty.path); }), kNoVideoTrack);
}

TEST(MediaInspector, MissingFileIsAPlatformErrorNotAUserCase)
{
    EXPECT_THROW(MediaInspector::inspect("/nonexistent/scrivel/clip.mp4"), PlatformError);
}

// The shared evaluation folder sits beside the repository (../shared/eval).
std::filesystem::path evalBadFolder()
{
    if (const char* overridden = std::getenv("SCRIVEL_EVAL_DIR"))
        return std::filesystem::path(overridden) / "bad";
    return std::filesystem::path(__FILE__).parent_path() / "../../../../shared/eval/bad";
}

TEST(MediaInspector, SharedBadInputsFailWithUserMessagesAndNeverCrash)
{
    const std::filesystem::path folder = evalBadFolder();
    if (!std::filesystem::exists(folder / "truncated.mp4"))
        GTEST_SKIP() << "no shared evaluation files at " << folder;

    EXPECT_EQ(scrivelErrorMessage([&] { MediaInspector::inspect(folder / "audio_only.mp4"); }), kNoVideoTrack);
    EXPECT_EQ(scrivelErrorMessage([&] { MediaInspector::inspect(folder / "not_a_video.mp4"); }), kNoVideoTrack);

    // The index promises more frames than the file holds: probing works,
    // reading stops with the decode message.
    const VideoInfo info = MediaInspector::inspect(folder / "truncated.mp4");
    EXPECT_GT(info.duration, 0);
    VideoFrames frames(folder / "truncated.mp4");
    int decoded = 0;
    try {
        while (frames.next())
            ++decoded;
        ADD_FAILURE() << "the truncated file read to its end after " << decoded << " frames";
    } catch (const VideoScanError& error) {
        EXPECT_STREQ(error.what(), "Scrivel could not decode every video frame.");
    }
}

} // namespace
