// Damaged and unusual sources through every stage a user can start: probing
// (opening a file), scanning, reading frames and exporting. Each ends either
// in a complete result or in the user-facing message, and never changes the
// source, leaves a partial destination or a temporary folder behind.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>

#include <sys/resource.h>

#include "ScrivelCore/Errors.hpp"
#include "decode/MediaInspector.hpp"
#include "decode/MediaSource.hpp"
#include "export/VideoExporter.hpp"
#include "decode/VideoFrames.hpp"
#include "scan/VideoScanner.hpp"
#include "support/ClipWriter.hpp"
#include "support/FaultyMedia.hpp"

namespace scrivel {
namespace {

namespace fs = std::filesystem;
using test::AudioTrackSpec;
using test::ScratchFolder;
using test::VideoTrackSpec;

constexpr const char* kNoVideoTrack = "The selected file does not contain a readable video track.";
constexpr const char* kDecodeFailed = "Scrivel could not decode every video frame.";
constexpr const char* kNoExportSession = "Scrivel could not create a video export session for this file.";
constexpr const char* kExportFailedPrefix = "Export failed: ";
constexpr const char* kPreviousExport = "previous export";

// The message a call ends with, or nothing when it returns.
std::optional<std::string> messageOf(const std::function<void()>& call)
{
    try {
        call();
        return std::nullopt;
    } catch (const std::exception& error) {
        return std::string(error.what());
    }
}

std::string contents(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// One region over the upper left of every frame, as a scan would find it.
DetectedRegion fakeWord()
{
    DetectedRegion region;
    region.rect = {0.1, 0.1, 0.4, 0.2};
    region.confidence = 0.9f;
    region.text = "secret";
    region.selections.push_back({{0, 0, 1, 1}, RedactionKind::all, "secret"});
    region.backgroundColor = 0x28A028;
    return region;
}

ScanResult scanOverWord()
{
    DetectedRegion region = fakeWord();
    region.trackID = 1;
    ScanResult result;
    result.duration = 100;
    result.frameRate = 30;
    result.sampleCount = 1;
    result.totalRegions = 1;
    result.samples.push_back({0, 0, {region}});
    return result;
}

RenderSettings solidFill()
{
    RenderSettings settings = startingRenderSettings();
    settings.style = MaskStyle::solid;
    return settings;
}

ScanSettings allTextSettings()
{
    return {true, OCRQuality::fast, 0.3f, false, false, false, {}};
}

// The product's scanner and mask tracker with a recognizer that "reads" the
// same word on every frame, so that the tracker has references to follow.
ScanResult scanWithFakeRecognizer(const fs::path& source)
{
    const VideoScanner scanner(
        [](const Image&, const Image&, const ScanSettings&) { return std::vector<DetectedRegion>{fakeWord()}; },
        VideoScanner::productTracker(), 2);
    return scanner.scan(source, allTextSettings(), {});
}

std::vector<std::pair<double, cv::Size>> readAllFrames(const fs::path& source)
{
    std::vector<std::pair<double, cv::Size>> frames;
    VideoFrames reader(source);
    while (auto frame = reader.next())
        frames.emplace_back(frame->first, frame->second.pixels.size());
    return frames;
}

// What each stage must end with: nullopt for success, else the message (a
// trailing '*' matches any rest, for texts that come from FFmpeg or the system).
using Expected = std::optional<std::string>;

void expectOutcome(const std::optional<std::string>& actual, const Expected& expected, const char* stage)
{
    // What the user saw, for the test report (--gtest_output=xml).
    ::testing::Test::RecordProperty(stage, actual.value_or("(completed)"));
    if (!expected) {
        EXPECT_FALSE(actual) << stage << " failed: " << *actual;
        return;
    }
    ASSERT_TRUE(actual) << stage << " succeeded; expected: " << *expected;
    if (!expected->empty() && expected->back() == '*')
        EXPECT_EQ(actual->rfind(expected->substr(0, expected->size() - 1), 0), 0u) << stage << ": " << *actual;
    else
        EXPECT_EQ(*actual, *expected) << stage;
}

struct SourceFault {
    std::string name;
    std::string extension;
    std::function<void(const fs::path&)> make;
    Expected inspect, scan, frames, exported;
    // Further checks of a successful export: (source, output).
    std::function<void(const fs::path&, const fs::path&)> checkExport = {};
};

void writeText(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<double> irregularTimes()
{
    return {0, 0.033, 0.05, 0.3, 0.31, 0.32, 1.0, 1.017, 1.5};
}

void writeTruncated(const fs::path& path)
{
    test::ClipSpec format;
    format.width = 96;
    format.height = 64;
    format.frameCount = 30;
    format.indexFirst = true; // the index survives the cut
    test::writeClip(path, format, [](int index) { return test::trackFrame({96, 64, {}, {90, 90, 200}}, index); });
    fs::resize_file(path, fs::file_size(path) * 6 / 10);
}

std::vector<SourceFault> sourceFaults()
{
    const std::string failedExport = std::string(kExportFailedPrefix) + "*";
    return {
        {"NotAVideo", ".mp4", [](const fs::path& p) { writeText(p, "This is a plain text file renamed to .mp4.\n"); },
         kNoVideoTrack, kNoVideoTrack, kDecodeFailed, kNoExportSession},
        {"EmptyFile", ".mov", [](const fs::path& p) { writeText(p, ""); }, kNoVideoTrack, kNoVideoTrack, kDecodeFailed,
         kNoExportSession},
        {"AudioOnly", ".mp4", [](const fs::path& p) { test::writeTracks(p, {}, {AudioTrackSpec{}}); }, kNoVideoTrack,
         kNoVideoTrack, kDecodeFailed, kNoVideoTrack},
        {"Truncated", ".mp4", writeTruncated, std::nullopt, kDecodeFailed, kDecodeFailed, failedExport},
        {"StopsDecodingMidway", ".mp4",
         [](const fs::path& p) {
             test::writeTracks(p, {{96, 64, test::evenTimes(24, 24)}}, {AudioTrackSpec{}});
             test::corruptVideoPackets(p, 12, 24);
         },
         std::nullopt, kDecodeFailed, kDecodeFailed, failedExport},
        {"FirstFramesCorrupt", ".mp4",
         [](const fs::path& p) {
             test::writeTracks(p, {{96, 64, test::evenTimes(24, 24)}});
             test::corruptVideoPackets(p, 0, 3);
         },
         std::nullopt, kDecodeFailed, kDecodeFailed, failedExport},
        // MP4 keeps no empty track: a recording stopped before its first
        // frame is a file with sound only.
        {"NoFrames", ".mp4", [](const fs::path& p) { test::writeTracks(p, {{96, 64, {}}}, {AudioTrackSpec{}}); },
         kNoVideoTrack, kNoVideoTrack, kDecodeFailed, kNoVideoTrack},
        // One sample that lasts no time: a track of zero length. Its edit
        // list shows nothing, so an export has no frame to write either.
        {"ZeroLength", ".mp4",
         [](const fs::path& p) {
             VideoTrackSpec format{96, 64, {0.0}};
             format.stampDurations = false;
             test::writeTracks(p, {format});
         },
         kNoVideoTrack, kNoVideoTrack, std::nullopt, kNoVideoTrack},
        // Every sample's bytes zeroed (space allocated, never written).
        {"ZeroedVideoData", ".mp4",
         [](const fs::path& p) {
             test::writeTracks(p, {{96, 64, test::evenTimes(12, 24)}}, {AudioTrackSpec{}});
             test::corruptVideoPackets(p, 0, 12, 0x00);
         },
         std::nullopt, kDecodeFailed, kDecodeFailed, failedExport},
        {"OneFrame", ".mp4", [](const fs::path& p) { test::writeTracks(p, {{96, 64, {0.0}}}); }, std::nullopt,
         std::nullopt, std::nullopt, std::nullopt,
         [](const fs::path&, const fs::path& output) {
             const auto streams = test::summarize(output);
             ASSERT_EQ(streams.size(), 1u);
             EXPECT_EQ(streams[0].packetDigests.size(), 1u);
         }},
        {"OnePixel", ".mp4", [](const fs::path& p) { test::writeTracks(p, {{1, 1, test::evenTimes(6, 30)}}); },
         std::nullopt, std::nullopt, std::nullopt, std::nullopt,
         [](const fs::path&, const fs::path& output) {
             const auto streams = test::summarize(output);
             ASSERT_EQ(streams.size(), 1u);
             EXPECT_EQ(streams[0].width, 1);
             EXPECT_EQ(streams[0].height, 1);
             EXPECT_EQ(streams[0].packetDigests.size(), 6u);
         }},
        {"OddSize", ".mov", [](const fs::path& p) { test::writeTracks(p, {{33, 17, test::evenTimes(5, 30)}}); },
         std::nullopt, std::nullopt, std::nullopt, std::nullopt,
         [](const fs::path&, const fs::path& output) {
             const auto streams = test::summarize(output);
             ASSERT_EQ(streams.size(), 1u);
             EXPECT_EQ(cv::Size(streams[0].width, streams[0].height), cv::Size(33, 17));
         }},
        {"VariableFrameRate", ".mp4",
         [](const fs::path& p) { test::writeTracks(p, {{96, 64, irregularTimes()}}, {AudioTrackSpec{1, 330, 1.6}}); },
         std::nullopt, std::nullopt, std::nullopt, std::nullopt,
         [](const fs::path& source, const fs::path& output) {
             // Every frame keeps its own time: none dropped, doubled or moved.
             const auto streams = test::summarize(output);
             ASSERT_FALSE(streams.empty());
             ASSERT_TRUE(streams[0].video);
             std::vector<double> times = streams[0].packetSeconds;
             std::sort(times.begin(), times.end());
             const std::vector<double> expected = irregularTimes();
             ASSERT_EQ(times.size(), expected.size());
             for (std::size_t i = 0; i < times.size(); ++i)
                 EXPECT_NEAR(times[i], expected[i], 1e-3) << "frame " << i;
             EXPECT_EQ(streams.back().packetDigests, test::summarize(source).back().packetDigests);
         }},
        {"TwoVideoTracks", ".mp4",
         [](const fs::path& p) {
             test::writeTracks(p, {{96, 64, test::evenTimes(8, 24), {30, 30, 220}},
                                   {160, 120, test::evenTimes(8, 24), {220, 30, 30}}});
         },
         std::nullopt, std::nullopt, std::nullopt, std::nullopt,
         [](const fs::path&, const fs::path& output) {
             // Only the first track, at its size and with its picture.
             const auto streams = test::summarize(output);
             ASSERT_EQ(streams.size(), 1u);
             EXPECT_EQ(cv::Size(streams[0].width, streams[0].height), cv::Size(96, 64));
             VideoFrames frames(output);
             const auto first = frames.next();
             ASSERT_TRUE(first);
             const cv::Vec3b corner = first->second.pixels.at<cv::Vec3b>(63, 95);
             EXPECT_GT(corner[2], 150) << "red, the first track's colour";
             EXPECT_LT(corner[0], 90);
         }},
        {"SeveralAudioTracks", ".mp4",
         [](const fs::path& p) {
             test::writeTracks(p, {{96, 64, test::evenTimes(12, 24)}},
                               {AudioTrackSpec{1, 330, 0.5}, AudioTrackSpec{2, 550, 0.5}, AudioTrackSpec{2, 880, 0.4}});
         },
         std::nullopt, std::nullopt, std::nullopt, std::nullopt,
         [](const fs::path& source, const fs::path& output) {
             // Every audio track arrives, in order, with its packets untouched.
             const auto before = test::summarize(source);
             const auto after = test::summarize(output);
             ASSERT_EQ(after.size(), before.size());
             for (std::size_t i = 1; i < before.size(); ++i) {
                 ASSERT_FALSE(after[i].video);
                 EXPECT_EQ(after[i].packetDigests, before[i].packetDigests) << "audio track " << i;
             }
         }},
    };
}

void PrintTo(const SourceFault& fault, std::ostream* out)
{
    *out << fault.name;
}

class SourceFaults : public ::testing::TestWithParam<SourceFault> {};

// Runs every stage on `source` and checks what the fault promises; the
// destination and any leftovers go to `folder`.
void checkStages(const SourceFault& fault, const fs::path& source, const ScratchFolder& folder)
{
    const std::string digest = test::fileDigest(source);
    const fs::path output = folder.path / "out.mp4";
    writeText(output, kPreviousExport);
    expectOutcome(messageOf([&] { MediaInspector::inspect(source); }), fault.inspect, "inspect");
    std::optional<ScanResult> scanned;
    expectOutcome(messageOf([&] { scanned = scanWithFakeRecognizer(source); }), fault.scan, "scan");
    std::vector<std::pair<double, cv::Size>> frames;
    expectOutcome(messageOf([&] { frames = readAllFrames(source); }), fault.frames, "frames");
    expectOutcome(messageOf([&] { VideoExporter::exportVideo(source, output, scanOverWord(), solidFill(), {}); }),
                  fault.exported, "export");

    if (scanned) {
        // One set of masks per decoded frame.
        EXPECT_EQ(scanned->samples.size(), frames.size());
    }
    if (fault.exported) {
        EXPECT_EQ(contents(output), kPreviousExport) << "a failed export changed the destination";
    } else {
        ASSERT_NE(contents(output), kPreviousExport);
        const auto streams = test::summarize(output);
        ASSERT_FALSE(streams.empty());
        EXPECT_TRUE(streams[0].video);
        EXPECT_EQ(streams[0].packetDigests.size(), frames.size()) << "every decoded frame exported";
        if (fault.checkExport)
            fault.checkExport(source, output);
    }
    EXPECT_EQ(test::fileDigest(source), digest) << "the source changed";
    EXPECT_EQ(folder.strays({source.filename().string(), "out.mp4"}), std::vector<std::string>{})
        << "something was left beside the destination";
}

TEST_P(SourceFaults, EveryStageEndsCompleteOrWithItsMessageAndLosesNothing)
{
    const SourceFault& fault = GetParam();
    ScratchFolder folder;
    const fs::path source = folder.path / ("source" + fault.extension);
    fault.make(source);
    checkStages(fault, source, folder);
}

INSTANTIATE_TEST_SUITE_P(Media, SourceFaults, ::testing::ValuesIn(sourceFaults()),
                         [](const auto& info) { return info.param.name; });

// The shared evaluation folder sits beside the repository (../shared/eval).
fs::path sharedBadInputs()
{
    if (const char* overridden = std::getenv("SCRIVEL_EVAL_DIR"))
        return fs::path(overridden) / "bad";
    return fs::path(__FILE__).parent_path() / "../../../../shared/eval/bad";
}

TEST(SourceFaults, SharedBadInputsEndWithTheirMessagesAtEveryStage)
{
    const fs::path shared = sharedBadInputs();
    if (!fs::exists(shared / "truncated.mp4"))
        GTEST_SKIP() << "no shared evaluation files at " << shared;
    const std::string failedExport = std::string(kExportFailedPrefix) + "*";
    const std::vector<SourceFault> faults = {
        {"not_a_video.mp4", "", {}, kNoVideoTrack, kNoVideoTrack, kDecodeFailed, kNoExportSession},
        {"audio_only.mp4", "", {}, kNoVideoTrack, kNoVideoTrack, kDecodeFailed, kNoVideoTrack},
        {"truncated.mp4", "", {}, std::nullopt, kDecodeFailed, kDecodeFailed, failedExport},
    };
    for (const SourceFault& fault : faults) {
        SCOPED_TRACE(fault.name);
        ScratchFolder folder;
        checkStages(fault, fs::canonical(shared / fault.name), folder);
    }
}

TEST(SourceFaults, VariableFrameRateFramesKeepTheirOwnTimes)
{
    ScratchFolder folder;
    const fs::path source = folder.path / "vfr.mp4";
    test::writeTracks(source, {{96, 64, irregularTimes()}});
    const auto frames = readAllFrames(source);
    const std::vector<double> expected = irregularTimes();
    ASSERT_EQ(frames.size(), expected.size());
    for (std::size_t i = 0; i < frames.size(); ++i)
        EXPECT_NEAR(frames[i].first, expected[i], 1e-4) << "frame " << i;
    const VideoInfo info = MediaInspector::inspect(source);
    EXPECT_GE(info.duration, expected.back());
    EXPECT_GE(info.nominalFrameRate, 0);
}

TEST(SourceFaults, DecodingStopsAfterTheLastGoodFrameOfADamagedTrack)
{
    ScratchFolder folder;
    const fs::path source = folder.path / "damaged.mp4";
    test::writeTracks(source, {{96, 64, test::evenTimes(24, 24)}});
    test::corruptVideoPackets(source, 12, 24);
    VideoFrames frames(source);
    int decoded = 0;
    try {
        while (frames.next())
            ++decoded;
        FAIL() << "the damaged track read to its end";
    } catch (const VideoScanError& error) {
        EXPECT_EQ(error.code(), VideoScanError::Code::decodeFailed);
    }
    // The good half comes out before the failure (frame threads may hold a few back).
    EXPECT_GE(decoded, 4);
    EXPECT_LE(decoded, 12);
    EXPECT_FALSE(frames.next()) << "a failed reader stays at its end";
}

// Frames too large for this machine are refused from the file's header,
// before a single frame buffer of that size exists.
TEST(SourceFaults, FramesBeyondThisMachineAreRefusedBeforeAllocating)
{
    ScratchFolder folder;
    const fs::path source = folder.path / "huge.mov";
    test::writeOversizedPicture(source, 40000, 40000); // 4.8 GB as one BGR frame
    const fs::path output = folder.path / "out.mp4";
    writeText(output, kPreviousExport);

    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const std::string refusal = source.string() + ": the video's frames are 40000 \u00d7 40000 pixels*";
    expectOutcome(messageOf([&] { MediaInspector::inspect(source); }), refusal, "inspect");
    expectOutcome(messageOf([&] { VideoFrames frames(source); }), refusal, "frames");
    expectOutcome(messageOf([&] { scanWithFakeRecognizer(source); }), refusal, "scan");
    expectOutcome(messageOf([&] { VideoExporter::exportVideo(source, output, scanOverWord(), solidFill(), {}); }),
                  refusal, "export");
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 512 * 1024) << "kilobytes of peak memory grew";
    EXPECT_EQ(contents(output), kPreviousExport);
    EXPECT_EQ(folder.strays({"huge.mov", "out.mp4"}), std::vector<std::string>{});
}

// 8192 × 8192 is within reach of an ordinary machine: it is read and
// exported whole, or, where memory is short, refused the same clear way.
TEST(SourceFaults, An8192SquareFrameIsProcessedOrRefusedClearly)
{
    ScratchFolder folder;
    const fs::path source = folder.path / "big.mp4";
    test::writeTracks(source, {{8192, 8192, {0.0}, {200, 200, 200}, 1}});
    const std::string digest = test::fileDigest(source);
    const fs::path output = folder.path / "out.mp4";
    if (8192LL * 8192 > maximumFramePixels()) {
        expectOutcome(messageOf([&] { MediaInspector::inspect(source); }),
                      source.string() + ": the video's frames are 8192 \u00d7 8192 pixels*", "inspect");
        GTEST_SKIP() << "this machine refuses 8192 x 8192 frames";
    }
    const VideoInfo info = MediaInspector::inspect(source);
    EXPECT_EQ(info.width, 8192);
    EXPECT_EQ(info.height, 8192);
    const auto frames = readAllFrames(source);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].second, cv::Size(8192, 8192));
    VideoExporter::exportVideo(source, output, scanOverWord(), solidFill(), {});
    const auto streams = test::summarize(output);
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(cv::Size(streams[0].width, streams[0].height), cv::Size(8192, 8192));
    EXPECT_EQ(test::fileDigest(source), digest);
}

} // namespace
} // namespace scrivel

