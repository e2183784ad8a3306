// Jobs on real media: the bridge probes, scans, exports and checks small
// generated recordings, and shutdown stops a running export cleanly.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>

#include <stdlib.h>

#include <gtest/gtest.h>

#include "ScrivelApp/NativeBridge.hpp"
#include "ScrivelCore/Errors.hpp"
#include "decode/MediaInspector.hpp"
#include "recognition/OcrEngine.hpp"
#include "export/VideoExporter.hpp"
#include "app/BridgeFakes.hpp"
#include "support/ClipWriter.hpp"
#include "support/RenderedText.hpp"

using namespace scrivel;
using namespace scrivel::test;
namespace fs = std::filesystem;

namespace {

struct Folder {
    Folder()
    {
        std::string pattern = (fs::temp_directory_path() / "scrivel-bridge-test-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~Folder()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::set<std::string> names() const
    {
        std::set<std::string> found;
        for (const auto& entry : fs::directory_iterator(path))
            found.insert(entry.path().filename().string());
        return found;
    }
    fs::path path;
};

std::string contents(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// One masked line on every frame of a clip of `frames` frames at 30 fps.
ScanResult maskOnEveryFrame(int frames)
{
    ScanResult result;
    result.frameRate = 30;
    result.duration = frames / 30.0;
    DetectedRegion region;
    region.rect = {0.1, 0.4, 0.5, 0.1};
    region.text = "secret";
    region.confidence = 1;
    region.trackID = 1;
    region.selections = {{region.rect, RedactionKind::all, "secret"}};
    for (int i = 0; i < frames; ++i)
        result.samples.push_back({i / 30.0, 0, {region}});
    result.sampleCount = frames;
    result.totalRegions = frames;
    return result;
}

} // namespace

// Quitting while an export writes: the export stops, its request is
// rejected as cancelled, the earlier file at the destination stays as it was
// and the export's working folder is gone.
TEST(BridgeJobs, ShutdownDuringAnExportLeavesNoTemporaryFolderAndTheDestinationUntouched)
{
    Folder folder;
    const fs::path source = folder.path / "source.mp4";
    ClipSpec format;
    format.frameCount = 60;
    writeClip(source, format, [&](int index) {
        return textFrame({format.width, format.height}, {{"secret " + std::to_string(index), {20, 110}}});
    });
    const fs::path destination = folder.path / "redacted.mp4";
    std::ofstream(destination) << "previous export";

    // The real probe and exporter; the scan is made up. The first progress
    // value holds the export until it is asked to stop, so the shutdown
    // surely lands in the middle of the file.
    BridgeOperations operations = BridgeOperations::product();
    operations.scan = [](const fs::path&, const ScanSettings&, const ScanProgressCallback&, std::stop_token) {
        return maskOnEveryFrame(60);
    };
    std::atomic<bool> heldMidway{false};
    const BridgeOperations::Export realExport = operations.exportVideo;
    operations.exportVideo = [&](const fs::path& from, const fs::path& to, const ScanResult& result,
                                 const RenderSettings& settings, const std::function<void(double)>& progress,
                                 std::stop_token stop) {
        std::mutex mutex;
        std::condition_variable_any stopped;
        realExport(from, to, result, settings,
                   [&](double fraction) {
                       // Marked before the value is passed on, so the test sees it with the event.
                       const bool hold = fraction < 1 && !heldMidway.exchange(true);
                       progress(fraction);
                       if (hold) {
                           std::unique_lock lock(mutex);
                           stopped.wait_for(lock, stop, std::chrono::seconds(30), [] { return false; });
                       }
                   },
                   stop);
    };
    BridgeHarness harness(std::move(operations));

    const VideoInfo video = harness.select(source);
    EXPECT_EQ(video.width, format.width);
    harness.request("scan", "scanVideo",
                    Json{{"videoId", video.id}, {"jobId", "scan-1"}, {"settings", toJson(ScanSettings{})}});
    ASSERT_EQ(harness.replyTo("scan").function, "resolve");

    RenderSettings settings = startingRenderSettings();
    settings.style = MaskStyle::solid;
    harness.request("export", "exportVideo",
                    Json{{"videoId", video.id}, {"jobId", "export-1"}, {"settings", toJson(settings)}});
    ASSERT_EQ(harness.panels.saveOptions.size(), 1u);
    EXPECT_EQ(harness.panels.saveOptions[0].suggestedFileName, "source-scrivel.mp4");
    harness.panels.answerSave(destination);
    ASSERT_TRUE(harness.executor->runUntil([&] { return !harness.page->events("jobProgress").empty(); }));
    ASSERT_TRUE(heldMidway);

    bool done = false;
    harness.bridge->shutdown([&] { done = true; });
    ASSERT_TRUE(harness.executor->runUntil([&] { return done; }));
    const std::vector<PageCall> replies = harness.page->repliesTo("export");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].function, "reject");
    EXPECT_EQ(replies[0].payload, messageObject("Operation cancelled."));
    EXPECT_EQ(contents(destination), "previous export");
    EXPECT_EQ(folder.names(), (std::set<std::string>{"source.mp4", "redacted.mp4"}));
}

// A file with a video extension that holds no video: the real probe's
// message reaches the page as a toast.
TEST(BridgeJobs, ADroppedFileThatIsNoVideoBecomesAToast)
{
    Folder folder;
    const fs::path fake = folder.path / "notes.mp4";
    std::ofstream(fake) << "just text";
    BridgeHarness harness(BridgeOperations::product());
    harness.request("ready", "ready");
    harness.bridge->handleDroppedFile(fake);
    ASSERT_TRUE(harness.executor->runUntil([&] { return !harness.page->events("toast").empty(); }));
    EXPECT_EQ(harness.page->events("toast")[0].payload, messageObject(ScrivelError::noVideoTrack().what()));
    EXPECT_EQ(harness.bridge->selectedVideo(), std::nullopt);
}

// The product's scanner and exporter behind the page's requests, on a still
// notes window holding an e-mail address.
TEST(BridgeJobs, ScansAndExportsARecordingEndToEnd)
{
    try {
        OcrEngine::locateModels();
    } catch (const std::exception& error) {
        GTEST_SKIP() << error.what();
    }
    if (!scrivel::testing::fontsAvailable())
        GTEST_SKIP() << "fonts are not installed";
    Folder folder;
    const fs::path source = folder.path / "notes.mov";
    scrivel::testing::TextCanvas canvas(640, 360, {255, 255, 255});
    canvas.draw("Contact: jane.doe@example.com", {40, 120}, 30, scrivel::testing::Font::sans, {32, 32, 32});
    canvas.draw("Weekly review notes", {40, 200}, 30, scrivel::testing::Font::sans, {32, 32, 32});
    ClipSpec format;
    format.width = 640;
    format.height = 360;
    format.frameCount = 6;
    format.h264Crf = 0;
    const cv::Mat frame = canvas.image().pixels;
    writeClip(source, format, [&](int) { return frame.clone(); });

    BridgeHarness harness(BridgeOperations::product());
    const VideoInfo video = harness.select(source);
    EXPECT_EQ(video.displayName, "notes.mov");

    ScanSettings scanSettings;
    scanSettings.blurEmails = true;
    scanSettings.quality = OCRQuality::fast;
    scanSettings.confidence = 0.3F;
    harness.request("scan", "scanVideo",
                    Json{{"videoId", video.id}, {"jobId", "scan-1"}, {"settings", toJson(scanSettings)}});
    const PageCall scanned = harness.replyTo("scan");
    ASSERT_EQ(scanned.function, "resolve") << scanned.text;
    EXPECT_EQ(scanned.payload.at("sampleCount"), 6);
    // Every line is a track; only the address has something to hide.
    std::vector<std::string> hidden;
    for (const Json& track : scanned.payload.at("tracks"))
        if (!track.at("selectedText").get<std::string>().empty())
            hidden.push_back(track.at("selectedText"));
    EXPECT_EQ(hidden, std::vector<std::string>{"jane.doe@example.com"}) << scanned.text;
    ASSERT_TRUE(harness.player.result.has_value());
    EXPECT_EQ(harness.player.result->sampleCount, 6);
    const std::vector<PageCall> scanProgress = harness.page->events("jobProgress");
    ASSERT_FALSE(scanProgress.empty());
    for (const PageCall& event : scanProgress) {
        EXPECT_EQ(event.payload.at("kind"), "scan");
        EXPECT_TRUE(event.payload.contains("regions")) << event.text;
    }
    EXPECT_EQ(scanProgress.back().payload.at("progress"), 1.0);

    const fs::path output = folder.path / "notes-scrivel.mp4";
    harness.request("export", "exportVideo",
                    Json{{"videoId", video.id}, {"jobId", "export-1"}, {"settings", toJson(startingRenderSettings())}});
    ASSERT_EQ(harness.panels.saveOptions.size(), 1u);
    EXPECT_EQ(harness.panels.saveOptions[0].suggestedFileName, "notes-scrivel.mp4");
    harness.panels.answerSave(output);
    const PageCall exported = harness.replyTo("export");
    ASSERT_EQ(exported.function, "resolve") << exported.text;
    EXPECT_EQ(exported.payload, (Json{{"outputPath", output.string()}}));
    const VideoInfo written = MediaInspector::inspect(output);
    EXPECT_EQ(written.width, 640);
    EXPECT_EQ(written.height, 360);
    std::size_t exportEvents = 0;
    for (const PageCall& event : harness.page->events("jobProgress")) {
        if (event.payload.at("kind") != "export")
            continue;
        ++exportEvents;
        EXPECT_FALSE(event.payload.contains("regions")) << event.text;
    }
    EXPECT_GE(exportEvents, 1u);
    EXPECT_EQ(harness.page->events("jobProgress").back().payload.at("processed"), 100);

    // The product's verifier reads the written copy again: the address is
    // masked on every frame, and nothing else about the copy changed.
    const std::size_t eventsBefore = harness.page->events("jobProgress").size();
    harness.request("check", "checkCopy", Json{{"videoId", video.id}, {"jobId", "check-1"}});
    const PageCall checked = harness.replyTo("check");
    ASSERT_EQ(checked.function, "resolve") << checked.text;
    EXPECT_EQ(checked.payload.at("framesRead"), 6) << checked.text;
    EXPECT_EQ(checked.payload.at("moments"), Json::array()) << checked.text;
    EXPECT_EQ(checked.payload.at("differences"), Json::array()) << checked.text;
    EXPECT_EQ(checked.payload.at("clean"), true) << checked.text;
    const std::vector<PageCall> events = harness.page->events("jobProgress");
    ASSERT_GT(events.size(), eventsBefore);
    for (std::size_t i = eventsBefore; i < events.size(); ++i)
        EXPECT_EQ(events[i].payload.at("kind"), "verify") << events[i].text;

    // A copy with the address left visible: the check finds it.
    RenderSettings unmasked = startingRenderSettings();
    for (const Json& track : scanned.payload.at("tracks"))
        unmasked.excludedTrackIDs.push_back(track.at("id").get<std::int64_t>());
    harness.request("export-2", "exportVideo",
                    Json{{"videoId", video.id}, {"jobId", "export-2"}, {"settings", toJson(unmasked)}});
    harness.panels.answerSave(folder.path / "notes-unmasked.mp4");
    ASSERT_EQ(harness.replyTo("export-2").function, "resolve");
    harness.request("check-2", "checkCopy", Json{{"videoId", video.id}, {"jobId", "check-2"}});
    const PageCall leaked = harness.replyTo("check-2");
    ASSERT_EQ(leaked.function, "resolve") << leaked.text;
    EXPECT_EQ(leaked.payload.at("clean"), false);
    ASSERT_EQ(leaked.payload.at("moments").size(), 1u) << leaked.text;
    EXPECT_EQ(leaked.payload.at("moments")[0].at("kind"), "email");
    EXPECT_EQ(leaked.payload.at("moments")[0].at("frameCount"), 6);
    EXPECT_NE(leaked.payload.at("moments")[0].at("text").get<std::string>().find("example.com"), std::string::npos)
        << leaked.text;
}
