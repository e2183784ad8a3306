// The bridge driven as the page drives it: JSON messages in, page calls out,
// with the toolkit, the player, the panels and the media work faked.

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ScrivelApp/NativeBridge.hpp"
#include "ScrivelCore/Errors.hpp"
#include "app/BridgeFakes.hpp"

using namespace scrivel;
using namespace scrivel::test;

namespace {

const std::string kInvalidRequest = "The app received an invalid request.";
const std::string kNoVideo = "Choose a video first.";
const std::string kNoScan = "Scan the video before exporting.";
const std::string kCancelled = "Operation cancelled.";
const std::string kNoExport = "Export a copy before checking it.";

ScanSettings emailsOnly()
{
    ScanSettings settings;
    settings.blurEmails = true;
    settings.quality = OCRQuality::fast;
    return settings;
}

Json scanParams(const std::string& videoId, const std::string& jobId, const ScanSettings& settings = emailsOnly())
{
    return {{"videoId", videoId}, {"jobId", jobId}, {"settings", toJson(settings)}};
}

Json exportParams(const std::string& videoId, const std::string& jobId,
                  const RenderSettings& settings = startingRenderSettings())
{
    return {{"videoId", videoId}, {"jobId", jobId}, {"settings", toJson(settings)}};
}

Json checkParams(const std::string& videoId, const std::string& jobId)
{
    return {{"videoId", videoId}, {"jobId", jobId}};
}

void expectResolved(const PageCall& reply, const Json& payload)
{
    EXPECT_EQ(reply.function, "resolve") << reply.text;
    EXPECT_EQ(reply.payload, payload) << reply.text;
}

void expectRejected(const PageCall& reply, const std::string& message)
{
    EXPECT_EQ(reply.function, "reject") << reply.text;
    EXPECT_EQ(reply.payload, messageObject(message)) << reply.text;
}

class NativeBridgeTest : public ::testing::Test {
protected:
    FakeMedia media;
    BridgeHarness harness{media.operations()};
    FakePage& page = *harness.page;
    FakePlayer& player = harness.player;
    NativeBridge& bridge = *harness.bridge;

    void TearDown() override
    {
        // Whatever still waits in a fake finishes, so the bridge's threads end.
        media.releaseProbes();
        media.releaseJobs();
    }

    // A running scan of `video` under `jobId`, its first progress delivered.
    void startScan(const VideoInfo& video, const std::string& jobId, const std::string& requestId)
    {
        const int before = media.scansStarted;
        harness.request(requestId, "scanVideo", scanParams(video.id, jobId));
        EXPECT_TRUE(harness.executor->runUntil([&] {
            for (const PageCall& event : page.events("jobProgress"))
                if (event.payload.at("id") == jobId)
                    return true;
            return false;
        })) << "scan " << jobId << " never reported";
        EXPECT_EQ(media.scansStarted, before + 1);
    }

    // Runs a scan of `video` to its end; later jobs wait again.
    void finishScan(const VideoInfo& video, const ScanSettings& settings = emailsOnly())
    {
        media.releaseJobs();
        const std::string id = "scan-to-end-" + std::to_string(++finishedScans);
        harness.request(id, "scanVideo", scanParams(video.id, id, settings));
        EXPECT_EQ(harness.replyTo(id).function, "resolve");
        media.holdJobs();
    }
    int finishedScans = 0;

    // Runs an export of `video` to `output` to its end; later jobs wait again.
    void finishExport(const VideoInfo& video, const std::filesystem::path& output)
    {
        media.releaseJobs();
        const std::string id = "export-to-end-" + std::to_string(++finishedExports);
        harness.request(id, "exportVideo", exportParams(video.id, id));
        harness.panels.answerSave(output);
        EXPECT_EQ(harness.replyTo(id).function, "resolve");
        media.holdJobs();
    }
    int finishedExports = 0;

    // A running check of the exported copy under `jobId`, its first progress delivered.
    void startCheck(const VideoInfo& video, const std::string& jobId, const std::string& requestId)
    {
        const std::size_t before = media.checkCalls().size();
        harness.request(requestId, "checkCopy", checkParams(video.id, jobId));
        EXPECT_TRUE(harness.executor->runUntil([&] { return !progressOf(jobId).empty(); }))
            << "check " << jobId << " never reported: "
            << (page.repliesTo(requestId).empty() ? "" : page.repliesTo(requestId).front().text);
        EXPECT_EQ(media.checkCalls().size(), before + 1);
    }

    std::vector<PageCall> progressOf(const std::string& jobId) const
    {
        std::vector<PageCall> found;
        for (const PageCall& event : page.events("jobProgress"))
            if (event.payload.at("id") == jobId)
                found.push_back(event);
        return found;
    }
};

} // namespace

// ---------------------------------------------------------------- envelope

TEST_F(NativeBridgeTest, MalformedEnvelopesGetNoReply)
{
    const std::vector<std::string> bodies{
        "",
        "not json",
        R"({"id": "a", "method": "ready")",
        "[]",
        R"(["ready"])",
        R"("ready")",
        "null",
        "{}",
        R"({"method": "ready"})",
        R"({"id": "a"})",
        R"({"id": 1, "method": "ready"})",
        R"({"id": null, "method": "ready"})",
        R"({"id": ["a"], "method": "ready"})",
        R"({"id": "a", "method": 5})",
        R"({"id": "a", "method": null})",
        R"({"id": "a", "method": {"name": "ready"}})",
        R"({"id": "a", "method": "ready", "params": 1e999})",
    };
    for (const std::string& body : bodies) {
        SCOPED_TRACE(body);
        bridge.handleMessage(body);
        harness.executor->runPending();
        EXPECT_TRUE(page.calls.empty());
    }
    EXPECT_FALSE(bridge.isReady());

    // A good body, but for another handler or from a subframe.
    const std::string ready = R"({"id": "a", "method": "ready"})";
    bridge.receiveScriptMessage("other", true, ready);
    bridge.receiveScriptMessage("scrivel", false, ready);
    EXPECT_TRUE(page.calls.empty());
    EXPECT_FALSE(bridge.isReady());
    bridge.receiveScriptMessage("scrivel", true, ready);
    expectResolved(harness.replyTo("a"), acknowledgement());
    EXPECT_TRUE(bridge.isReady());
}

TEST_F(NativeBridgeTest, MethodNamesAreExactAndParamsMayBeOmittedOnlyWithoutARecord)
{
    for (const std::string method : {"Seek", "READY", "ready ", "frobnicate", "", "toString", "__proto__"}) {
        SCOPED_TRACE(method);
        harness.request("m-" + method, method, Json::object());
        expectRejected(harness.replyTo("m-" + method), kInvalidRequest);
    }

    harness.request("r", "ready");
    expectResolved(harness.replyTo("r"), acknowledgement());
    harness.request("v", "resetViewport");
    expectResolved(harness.replyTo("v"), acknowledgement());
    EXPECT_EQ(player.viewportResets, 1);
    harness.request("n", "ready", nullptr); // no record to decode: the value is not looked at
    expectResolved(harness.replyTo("n"), acknowledgement());

    harness.request("s", "seek");
    const PageCall seek = harness.replyTo("s");
    EXPECT_EQ(seek.function, "reject");
    EXPECT_NE(seek.payload.at("message").get<std::string>().find("videoId"), std::string::npos) << seek.text;

    harness.request("c", "cancelJob", Json::array({"job"}));
    EXPECT_EQ(harness.replyTo("c").function, "reject");
    harness.request("b", "setPlayerBounds", Json{{"x", "1"}, {"y", 0}, {"width", 1}, {"height", 1}, {"visible", true}});
    const PageCall bounds = harness.replyTo("b");
    EXPECT_EQ(bounds.function, "reject");
    EXPECT_NE(bounds.payload.at("message").get<std::string>().find("x"), std::string::npos);
    EXPECT_FALSE(player.frame.has_value()) << "a failed decode does nothing";

    // Every request above got exactly one reply.
    EXPECT_EQ(page.calls.size(), 13u);
}

TEST_F(NativeBridgeTest, RequestIdsComeBackEscaped)
{
    bridge.handleMessage(R"({"id": "say \"hi\" \\ <\/script>", "method": "ready"})");
    ASSERT_EQ(page.calls.size(), 1u);
    EXPECT_EQ(page.calls[0].text, R"(window.__scrivel?.resolve("say \"hi\" \\ </script>", {"ok":true});)");
    EXPECT_EQ(page.calls[0].argument, "say \"hi\" \\ </script>");

    harness.request("id\nwith\u2028breaks", "cancelJob", Json{{"jobId", "none"}});
    ASSERT_EQ(page.calls.size(), 2u);
    EXPECT_EQ(page.calls[1].argument, "id\nwith\u2028breaks");
    EXPECT_EQ(page.calls[1].payload, cancelAcknowledgement()) << "even for a job that does not exist";
}

TEST_F(NativeBridgeTest, CallsAreDroppedWhenThePageIsGoneOrCannotBeEncoded)
{
    auto other = std::make_shared<FakePage>();
    bridge.setPageView(other);
    other.reset();
    harness.request("gone", "ready");
    EXPECT_TRUE(page.calls.empty());
    EXPECT_TRUE(bridge.isReady()) << "the request itself was handled";

    bridge.setPageView(harness.page);
    bridge.playerStateChanged({"V", std::numeric_limits<double>::infinity(), false});
    EXPECT_TRUE(page.calls.empty());
    bridge.playerStateChanged({"V", 2.5, true});
    ASSERT_EQ(page.calls.size(), 1u);
    EXPECT_EQ(page.calls[0].payload, (Json{{"videoId", "V"}, {"time", 2.5}, {"isPlaying", true}}));
}

// ---------------------------------------------------------------- views

TEST_F(NativeBridgeTest, BoundsPlaceTheViewsAndThePlayerShowsOnlyWithASelection)
{
    const auto bounds = [](double x, double y, double width, double height, bool visible) {
        return Json{{"x", x}, {"y", y}, {"width", width}, {"height", height}, {"visible", visible}};
    };
    harness.request("d", "setWindowDragBounds", bounds(0, 0, -5, 28, false));
    expectResolved(harness.replyTo("d"), acknowledgement());
    EXPECT_EQ(harness.dragStrip.frame, (ViewRect{0, 0, 0, 28}));

    harness.request("p1", "setPlayerBounds", bounds(10, 20, 640, -1, true));
    expectResolved(harness.replyTo("p1"), acknowledgement());
    EXPECT_EQ(player.frame, (ViewRect{10, 20, 640, 0}));
    EXPECT_TRUE(player.hidden) << "visible, but nothing is selected";

    harness.select("clip.mp4");
    harness.request("p2", "setPlayerBounds", bounds(10, 20, 640, 360, true));
    harness.replyTo("p2");
    EXPECT_FALSE(player.hidden);
    harness.request("p3", "setPlayerBounds", bounds(10, 20, 640, 360, false));
    harness.replyTo("p3");
    EXPECT_TRUE(player.hidden);

    // Non-finite numbers can only arrive in an already parsed value.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const char* method : {"setPlayerBounds", "setWindowDragBounds"}) {
        Json body = {{"id", std::string("nan-") + method}, {"method", method}, {"params", bounds(1, 2, 3, 4, true)}};
        body["params"]["height"] = nan;
        bridge.handleParsedMessage(body);
        expectRejected(harness.replyTo(std::string("nan-") + method), kInvalidRequest);
    }
    EXPECT_EQ(player.frame, (ViewRect{10, 20, 640, 360}));
    EXPECT_EQ(harness.dragStrip.frame, (ViewRect{0, 0, 0, 28}));
}

TEST_F(NativeBridgeTest, PlayerMethodsRequireTheCurrentVideo)
{
    const Json preview = {{"videoId", "nope"}, {"enabled", true}, {"showRegions", true},
                          {"renderSettings", toJson(startingRenderSettings())}};
    harness.request("1", "setPreview", preview);
    harness.request("2", "setDrawing", Json{{"videoId", "nope"}, {"enabled", true}});
    harness.request("3", "togglePlayback", Json{{"videoId", "nope"}});
    harness.request("4", "seek", Json{{"videoId", "nope"}, {"time", 1}});
    harness.request("5", "scanVideo", scanParams("nope", "j"));
    harness.request("6", "exportVideo", exportParams("nope", "j"));
    for (const char* id : {"1", "2", "3", "4", "5", "6"})
        expectRejected(harness.replyTo(id), kNoVideo);

    const VideoInfo video = harness.select("clip.mp4");
    harness.request("7", "togglePlayback", Json{{"videoId", "nope"}});
    expectRejected(harness.replyTo("7"), kNoVideo);
    EXPECT_EQ(player.toggles, 0);
    harness.request("8", "togglePlayback", Json{{"videoId", video.id}});
    expectResolved(harness.replyTo("8"), acknowledgement());
    EXPECT_EQ(player.toggles, 1);
}

TEST_F(NativeBridgeTest, SeekClampsToTheLoadedVideo)
{
    const VideoInfo video = harness.select("clip.mp4");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        Json time;
        std::optional<double> seekTo;
    };
    const std::vector<Case> cases{
        {1e9, FakeMedia::duration}, {-3, 0.0}, {4.25, 4.25}, {0, 0.0}, {12.5, 12.5}, {nan, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.time.dump());
        player.seeks.clear();
        const std::string id = "seek " + c.time.dump();
        bridge.handleParsedMessage({{"id", id}, {"method", "seek"}, {"params", {{"videoId", video.id}, {"time", c.time}}}});
        expectResolved(harness.replyTo(id), acknowledgement());
        if (c.seekTo) {
            ASSERT_EQ(player.seeks.size(), 1u);
            EXPECT_EQ(player.seeks[0], *c.seekTo);
        } else {
            EXPECT_TRUE(player.seeks.empty());
        }
    }
    // The player has nothing loaded (yet): nowhere to seek, still acknowledged.
    player.loaded.reset();
    player.seeks.clear();
    harness.request("unloaded", "seek", Json{{"videoId", video.id}, {"time", 2}});
    expectResolved(harness.replyTo("unloaded"), acknowledgement());
    EXPECT_TRUE(player.seeks.empty());
}

TEST_F(NativeBridgeTest, PreviewValidatesRenderSettingsAgainstTheSelectedVideo)
{
    const VideoInfo video = harness.select("clip.mp4");
    RenderSettings settings = startingRenderSettings();
    settings.manualMasks = {{"m1", {0.1, 0.1, 0.2, 0.2}, 1.0, 12.0, true}};
    harness.request("ok", "setPreview",
                    Json{{"videoId", video.id}, {"enabled", true}, {"showRegions", false}, {"renderSettings", toJson(settings)}});
    expectResolved(harness.replyTo("ok"), acknowledgement());
    ASSERT_EQ(player.previews.size(), 1u);
    EXPECT_TRUE(player.previews[0].enabled);
    EXPECT_FALSE(player.previews[0].showRegions);
    EXPECT_EQ(player.previews[0].settings, settings);

    settings.manualMasks[0].endTime = 13.0; // past the 12.5 s video
    harness.request("late", "setPreview",
                    Json{{"videoId", video.id}, {"enabled", true}, {"showRegions", true}, {"renderSettings", toJson(settings)}});
    expectRejected(harness.replyTo("late"), ScrivelError::invalidMaskSettings().what());
    EXPECT_EQ(player.previews.size(), 1u);
}

// ---------------------------------------------------------------- selection

TEST_F(NativeBridgeTest, OpenPanelSelectsTheChosenFileOrResolvesNull)
{
    harness.request("o1", "openVideo");
    ASSERT_EQ(harness.panels.openOptions.size(), 1u);
    const OpenPanelOptions& options = harness.panels.openOptions[0];
    EXPECT_EQ(options.title, "Choose a screen recording");
    EXPECT_FALSE(options.allowsMultipleSelection);
    EXPECT_FALSE(options.canChooseDirectories);
    EXPECT_TRUE(page.calls.empty()) << "the reply waits for the panel";

    harness.panels.answerOpen(std::nullopt);
    expectResolved(harness.replyTo("o1"), nullptr);

    harness.request("o2", "openVideo");
    harness.panels.answerOpen("/videos/recording.mov");
    const PageCall reply = harness.replyTo("o2");
    ASSERT_EQ(reply.function, "resolve");
    const VideoInfo info = decode<VideoInfo>(reply.payload);
    EXPECT_EQ(info.displayName, "recording.mov");
    EXPECT_EQ(bridge.selectedVideo(), info);
    EXPECT_EQ(player.loads, std::vector<std::filesystem::path>{"/videos/recording.mov"});
    EXPECT_TRUE(page.events("videoSelected").empty()) << "openVideo answers with its reply, not an event";

    harness.request("o3", "openVideo");
    harness.panels.answerOpen("/videos/broken.mp4");
    expectRejected(harness.replyTo("o3"), ScrivelError::noVideoTrack().what());
    EXPECT_EQ(bridge.selectedVideo(), info) << "a failed selection keeps the previous one";

    page.window = false;
    harness.request("o4", "openVideo");
    expectRejected(harness.replyTo("o4"), kInvalidRequest);
    EXPECT_EQ(harness.panels.openOptions.size(), 3u) << "no panel without a window";
}

TEST_F(NativeBridgeTest, DroppedFilesAreCheckedByExtensionAndHeldUntilReady)
{
    bridge.handleDroppedFile("/videos/first.mp4");
    bridge.handleDroppedFile("/videos/notes.avi");
    bridge.handleDroppedFile("/videos/second.MOV");
    harness.executor->runPending();
    ASSERT_EQ(page.calls.size(), 1u);
    EXPECT_EQ(page.calls[0].argument, "toast");
    EXPECT_EQ(page.calls[0].payload, messageObject("Scrivel supports MP4, MOV, and M4V video files."));
    EXPECT_TRUE(player.loads.empty()) << "nothing is selected before the page is ready";

    harness.request("ready", "ready");
    ASSERT_TRUE(harness.executor->runUntil([&] { return !page.events("videoSelected").empty(); }));
    harness.executor->runPending();
    ASSERT_EQ(page.calls.size(), 3u);
    EXPECT_EQ(page.calls[1].argument, "ready") << "the reply comes before the held video";
    EXPECT_EQ(page.calls[2].argument, "videoSelected");
    EXPECT_EQ(decode<VideoInfo>(page.calls[2].payload).displayName, "second.MOV");
    EXPECT_EQ(player.loads, std::vector<std::filesystem::path>{"/videos/second.MOV"});
    EXPECT_EQ(media.probes, 1) << "the first file was never even probed";

    // Once ready, a file that cannot be read becomes a toast and changes nothing.
    const std::optional<VideoInfo> selected = bridge.selectedVideo();
    bridge.handleDroppedFile("/videos/broken.m4v");
    ASSERT_TRUE(harness.executor->runUntil([&] { return page.events("toast").size() == 2; }));
    EXPECT_EQ(page.events("toast").back().payload, messageObject(ScrivelError::noVideoTrack().what()));
    EXPECT_EQ(bridge.selectedVideo(), selected);
}

TEST_F(NativeBridgeTest, ANewerSelectionOvertakesAnEarlierOne)
{
    harness.request("ready", "ready");
    harness.request("slow", "openVideo");
    harness.panels.answerOpen("/videos/slow.mp4"); // its probe waits
    const VideoInfo dropped = harness.select("/videos/fast.mp4");
    media.releaseProbes();
    expectRejected(harness.replyTo("slow"), kCancelled);
    EXPECT_EQ(bridge.selectedVideo(), dropped);
    EXPECT_EQ(player.loads, std::vector<std::filesystem::path>{"/videos/fast.mp4"});

    // A dropped file overtaken the same way ends silently.
    media.holdProbes();
    bridge.handleDroppedFile("/videos/slow-drop.mp4");
    harness.request("o", "openVideo");
    harness.panels.answerOpen("/videos/chosen.mp4");
    const VideoInfo chosen = decode<VideoInfo>(harness.replyTo("o").payload);
    media.releaseProbes();
    bool stopped = false; // shutdown waits for the probe to end
    bridge.shutdown([&] { stopped = true; });
    ASSERT_TRUE(harness.executor->runUntil([&] { return stopped; }));
    EXPECT_EQ(media.probes, 4);
    EXPECT_EQ(player.loads.back(), "/videos/chosen.mp4");
    EXPECT_EQ(chosen.displayName, "chosen.mp4");
    EXPECT_EQ(page.events("videoSelected").size(), 1u);
    EXPECT_TRUE(page.events("toast").empty());
}

// ---------------------------------------------------------------- jobs

TEST_F(NativeBridgeTest, ScanReportsProgressWithRegionsAndResolvesWithTheSummary)
{
    const VideoInfo video = harness.select("clip.mp4");
    player.drawing = true;
    startScan(video, "job-1", "scan-1");
    EXPECT_FALSE(player.drawing) << "a job switches drawing off";
    EXPECT_TRUE(page.events("drawingEnded").empty()) << "without the event";
    EXPECT_EQ(bridge.runningJobId(), "job-1");
    EXPECT_TRUE(media.lastScanSettings().blurEmails);

    media.releaseJobs();
    const PageCall reply = harness.replyTo("scan-1");
    ASSERT_EQ(reply.function, "resolve") << reply.text;
    EXPECT_EQ(reply.payload.at("duration"), FakeMedia::duration);
    EXPECT_EQ(reply.payload.at("sampleCount"), 2);
    EXPECT_EQ(reply.payload.at("totalRegions"), 2);
    ASSERT_EQ(reply.payload.at("tracks").size(), 1u);
    EXPECT_EQ(reply.payload.at("tracks")[0].at("id"), 3);
    EXPECT_EQ(reply.payload.at("tracks")[0].at("frameCount"), 2);
    EXPECT_EQ(player.result, media.result);
    EXPECT_TRUE(bridge.hasScanResult());
    EXPECT_EQ(bridge.runningJobId(), std::nullopt);

    const std::vector<PageCall> progress = progressOf("job-1");
    ASSERT_EQ(progress.size(), 2u);
    EXPECT_EQ(progress[0].payload, (Json{{"id", "job-1"}, {"videoId", video.id}, {"kind", "scan"}, {"progress", 0.1},
                                         {"processed", 1}, {"total", 10}, {"regions", 2},
                                         {"message", "Recognizing text"}}));
    EXPECT_EQ(progress[1].payload.at("progress"), 1.0);
    EXPECT_EQ(progress[1].payload.at("regions"), 2);
    // All progress comes before the reply.
    std::size_t lastProgress = 0, replyAt = 0;
    for (std::size_t i = 0; i < page.calls.size(); ++i) {
        if (page.calls[i].argument == "jobProgress")
            lastProgress = i;
        if (page.calls[i].argument == "scan-1")
            replyAt = i;
    }
    EXPECT_LT(lastProgress, replyAt);
}

TEST_F(NativeBridgeTest, OneJobAtATime)
{
    const VideoInfo video = harness.select("clip.mp4");
    finishScan(video);
    startScan(video, "job-1", "scan-1");

    harness.request("scan-2", "scanVideo", scanParams(video.id, "job-2"));
    expectRejected(harness.replyTo("scan-2"), kInvalidRequest);
    harness.request("export", "exportVideo", exportParams(video.id, "job-3"));
    expectRejected(harness.replyTo("export"), kNoScan);
    EXPECT_TRUE(harness.panels.saveOptions.empty());
    harness.request("draw", "setDrawing", Json{{"videoId", video.id}, {"enabled", true}});
    expectRejected(harness.replyTo("draw"), kInvalidRequest);
    EXPECT_FALSE(player.drawing);

    // Cancelling another id leaves the job running.
    harness.request("cancel-other", "cancelJob", Json{{"jobId", "job-2"}});
    expectResolved(harness.replyTo("cancel-other"), cancelAcknowledgement());
    EXPECT_EQ(bridge.runningJobId(), "job-1");
    EXPECT_TRUE(page.repliesTo("scan-1").empty());
    EXPECT_EQ(media.scansStarted, 2);
}

TEST_F(NativeBridgeTest, CancelFollowedAtOnceByANewScan)
{
    const VideoInfo video = harness.select("clip.mp4");
    startScan(video, "job-1", "scan-1");

    harness.request("cancel", "cancelJob", Json{{"jobId", "job-1"}});
    harness.request("scan-2", "scanVideo", scanParams(video.id, "job-2"));
    ASSERT_GE(page.calls.size(), 2u);
    expectResolved(page.repliesTo("cancel").at(0), cancelAcknowledgement());
    EXPECT_TRUE(page.repliesTo("scan-2").empty()) << "accepted: no rejection";
    EXPECT_EQ(bridge.runningJobId(), "job-2");

    expectRejected(harness.replyTo("scan-1"), kCancelled);
    EXPECT_EQ(bridge.runningJobId(), "job-2") << "the old job's end leaves the new one alone";
    EXPECT_EQ(progressOf("job-1").size(), 1u) << "its late progress is dropped";

    media.releaseJobs();
    EXPECT_EQ(harness.replyTo("scan-2").function, "resolve");
}

TEST_F(NativeBridgeTest, SelectingANewVideoDuringAScanCancelsIt)
{
    const VideoInfo first = harness.select("first.mp4");
    startScan(first, "job-1", "scan-1");

    const VideoInfo second = harness.select("second.mp4");
    EXPECT_EQ(bridge.runningJobId(), std::nullopt);
    expectRejected(harness.replyTo("scan-1"), kCancelled);
    harness.executor->runPending();
    EXPECT_EQ(progressOf("job-1").size(), 1u) << "no progress after the selection changed";
    EXPECT_FALSE(bridge.hasScanResult());

    // The new video scans normally.
    media.releaseJobs();
    harness.request("scan-2", "scanVideo", scanParams(second.id, "job-2"));
    EXPECT_EQ(harness.replyTo("scan-2").function, "resolve");
    for (const PageCall& event : progressOf("job-2"))
        EXPECT_EQ(event.payload.at("videoId"), second.id);
}

TEST_F(NativeBridgeTest, ExportAsksWhereReportsWithoutRegionsAndResolvesWithThePath)
{
    const VideoInfo video = harness.select("/videos/team call.mov");
    harness.request("early", "exportVideo", exportParams(video.id, "e0"));
    expectRejected(harness.replyTo("early"), kNoScan);

    RenderSettings invalid = startingRenderSettings();
    invalid.opacity = 1.5;
    harness.request("invalid", "exportVideo", exportParams(video.id, "e0", invalid));
    expectRejected(harness.replyTo("invalid"), ScrivelError::invalidMaskSettings().what());

    finishScan(video);
    harness.request("e1", "exportVideo", exportParams(video.id, "export-1"));
    ASSERT_EQ(harness.panels.saveOptions.size(), 1u);
    EXPECT_EQ(harness.panels.saveOptions[0],
              (SavePanelOptions{"Export redacted video", {"video/mp4"}, true, "team call-scrivel.mp4"}));
    harness.panels.answerSave(std::nullopt);
    expectResolved(harness.replyTo("e1"), nullptr);
    EXPECT_EQ(media.exportsStarted, 0);

    player.drawing = true;
    harness.request("e2", "exportVideo", exportParams(video.id, "export-2"));
    harness.panels.answerSave("/out/redacted.mp4");
    EXPECT_EQ(bridge.runningJobId(), "export-2");
    EXPECT_FALSE(player.drawing);
    media.releaseJobs();
    expectResolved(harness.replyTo("e2"), Json{{"outputPath", "/out/redacted.mp4"}});

    const std::vector<PageCall> progress = progressOf("export-2");
    ASSERT_EQ(progress.size(), 2u);
    EXPECT_EQ(progress[0].payload, (Json{{"id", "export-2"}, {"videoId", video.id}, {"kind", "export"},
                                         {"progress", 0.257}, {"processed", 25}, {"total", 100},
                                         {"message", "Rendering video and preserving audio"}}));
    EXPECT_EQ(progress[1].payload.at("processed"), 100);
    for (const PageCall& event : progress)
        EXPECT_FALSE(event.payload.contains("regions"));
}

TEST_F(NativeBridgeTest, SavePanelAnsweredAfterThingsChangedIsCancelled)
{
    const VideoInfo video = harness.select("clip.mp4");
    finishScan(video);

    // A scan started while the panel was open.
    harness.request("e1", "exportVideo", exportParams(video.id, "export-1"));
    media.releaseJobs();
    harness.request("s", "scanVideo", scanParams(video.id, "scan-2"));
    harness.panels.answerSave("/out/a.mp4");
    expectRejected(harness.replyTo("e1"), kCancelled);
    EXPECT_EQ(harness.replyTo("s").function, "resolve");

    // Another video selected while the panel was open.
    harness.request("e2", "exportVideo", exportParams(video.id, "export-2"));
    harness.select("other.mp4");
    harness.panels.answerSave("/out/b.mp4");
    expectRejected(harness.replyTo("e2"), kCancelled);
    EXPECT_EQ(media.exportsStarted, 0);

    // No window to attach the panel to.
    const VideoInfo other = *bridge.selectedVideo();
    finishScan(other);
    page.window = false;
    harness.request("e3", "exportVideo", exportParams(other.id, "export-3"));
    expectRejected(harness.replyTo("e3"), kNoScan);
}

// ---------------------------------------------------------------- copy check

TEST_F(NativeBridgeTest, CopyCheckNeedsAFinishedExportOfTheSelectedVideo)
{
    const VideoInfo video = harness.select("/videos/clip.mp4");
    harness.request("before-scan", "checkCopy", checkParams(video.id, "c0"));
    expectRejected(harness.replyTo("before-scan"), kNoExport);
    finishScan(video);
    harness.request("before-export", "checkCopy", checkParams(video.id, "c0"));
    expectRejected(harness.replyTo("before-export"), kNoExport);

    // A save panel closed without a file exports nothing.
    harness.request("e1", "exportVideo", exportParams(video.id, "export-1"));
    harness.panels.answerSave(std::nullopt);
    expectResolved(harness.replyTo("e1"), nullptr);
    harness.request("after-no-file", "checkCopy", checkParams(video.id, "c0"));
    expectRejected(harness.replyTo("after-no-file"), kNoExport);

    // A finished export, then a cancelled one over it: what the second
    // destination holds is not a finished copy.
    finishExport(video, "/out/first.mp4");
    harness.request("e2", "exportVideo", exportParams(video.id, "export-2"));
    harness.panels.answerSave("/out/second.mp4");
    harness.request("cancel", "cancelJob", Json{{"jobId", "export-2"}});
    expectRejected(harness.replyTo("e2"), kCancelled);
    harness.request("after-cancel", "checkCopy", checkParams(video.id, "c0"));
    expectRejected(harness.replyTo("after-cancel"), kNoExport);
    EXPECT_FALSE(bridge.hasExportedCopy());

    finishExport(video, "/out/third.mp4");
    EXPECT_TRUE(bridge.hasExportedCopy());
    harness.request("other-id", "checkCopy", checkParams("VIDEO-other", "c0"));
    expectRejected(harness.replyTo("other-id"), kNoVideo);
    EXPECT_TRUE(media.checkCalls().empty()) << "no check ran for any refused request";

    // Another video selected: the copy belongs to the old one.
    const VideoInfo other = harness.select("/videos/other.mp4");
    EXPECT_FALSE(bridge.hasExportedCopy());
    finishScan(other);
    harness.request("new-video", "checkCopy", checkParams(other.id, "c1"));
    expectRejected(harness.replyTo("new-video"), kNoExport);
    harness.request("old-video", "checkCopy", checkParams(video.id, "c2"));
    expectRejected(harness.replyTo("old-video"), kNoVideo);
    EXPECT_TRUE(media.checkCalls().empty());
}

TEST_F(NativeBridgeTest, CopyCheckReadsTheExportedFileWithItsScanSettingsAndResolvesWithTheFindings)
{
    const VideoInfo video = harness.select("/videos/call.mov");
    ScanSettings exported;
    exported.blurPhones = true;
    exported.customTerms = {"Falcon"};
    exported.quality = OCRQuality::precise;
    finishScan(video, exported);
    finishExport(video, "/out/call-scrivel.mp4");
    // A later scan changes what the review shows, not what the copy was made from.
    finishScan(video, emailsOnly());

    // An address readable in frames 3 and 4, a phone number in frame 4 and
    // again in frame 9, after a gap.
    const auto span = [](std::int64_t frame, RedactionKind kind, const std::string& text) {
        ReadableText readable;
        readable.frameIndex = frame;
        readable.time = frame / 30.0;
        readable.kind = kind;
        readable.text = text;
        readable.lineText = "Contact " + text;
        readable.box = {0.1, 0.1, 0.3, 0.05};
        readable.confidence = 0.8F;
        return readable;
    };
    media.check.framesRead = 12;
    media.check.readable = {span(3, RedactionKind::email, "ada@example.com"),
                            span(4, RedactionKind::email, "ada@example.com"),
                            span(4, RedactionKind::phone, "415 555 0100"), span(9, RedactionKind::phone, "555 0100")};
    media.check.differences = {"The copy has 2 frames fewer than the original."};
    media.check.notes = {"The audio was re-encoded to AAC."};

    player.drawing = true;
    startCheck(video, "check-1", "c1");
    EXPECT_FALSE(player.drawing) << "a job switches drawing off";
    EXPECT_EQ(bridge.runningJobId(), "check-1");
    ASSERT_EQ(media.checkCalls().size(), 1u);
    EXPECT_EQ(media.checkCalls()[0].original, "/videos/call.mov");
    EXPECT_EQ(media.checkCalls()[0].copy, "/out/call-scrivel.mp4");
    EXPECT_EQ(media.checkCalls()[0].settings, exported);

    media.releaseJobs();
    const PageCall reply = harness.replyTo("c1");
    ASSERT_EQ(reply.function, "resolve") << reply.text;
    EXPECT_EQ(reply.payload.at("clean"), false);
    EXPECT_EQ(reply.payload.at("framesRead"), 12);
    EXPECT_EQ(reply.payload.at("differences"), Json::array({"The copy has 2 frames fewer than the original."}));
    EXPECT_EQ(reply.payload.at("notes"), Json::array({"The audio was re-encoded to AAC."}));
    const Json moment = reply.payload.at("moments");
    ASSERT_EQ(moment.size(), 3u) << reply.text;
    EXPECT_EQ(moment[0], (Json{{"startTime", 3 / 30.0}, {"endTime", 4 / 30.0}, {"kind", "email"},
                               {"text", "ada@example.com"}, {"frameCount", 2}, {"description", "e-mail address"}}));
    EXPECT_EQ(moment[1].at("kind"), "phone");
    EXPECT_EQ(moment[1].at("description"), "phone number");
    EXPECT_EQ(moment[1].at("frameCount"), 1);
    EXPECT_EQ(moment[2].at("startTime"), 9 / 30.0);
    EXPECT_EQ(moment[2].at("text"), "555 0100");
    EXPECT_FALSE(reply.payload.contains("readable")) << "the page gets moments, not every span";
    EXPECT_EQ(bridge.runningJobId(), std::nullopt);

    const std::vector<PageCall> progress = progressOf("check-1");
    ASSERT_EQ(progress.size(), 2u);
    EXPECT_EQ(progress[0].payload, (Json{{"id", "check-1"}, {"videoId", video.id}, {"kind", "verify"},
                                         {"progress", 0.2}, {"processed", 3}, {"total", 15},
                                         {"message", "Reading the copy"}}));
    EXPECT_EQ(progress[1].payload.at("progress"), 1.0);
    std::size_t lastProgress = 0, replyAt = 0;
    for (std::size_t i = 0; i < page.calls.size(); ++i) {
        if (page.calls[i].argument == "jobProgress")
            lastProgress = i;
        if (page.calls[i].argument == "c1")
            replyAt = i;
    }
    EXPECT_LT(lastProgress, replyAt);

    // The same copy may be checked again; a clean one says so.
    media.check = CopyCheck{};
    media.check.framesRead = 12;
    harness.request("c2", "checkCopy", checkParams(video.id, "check-2"));
    expectResolved(harness.replyTo("c2"), (Json{{"clean", true},
                                               {"framesRead", 12},
                                               {"moments", Json::array()},
                                               {"differences", Json::array()},
                                               {"notes", Json::array()}}));
    EXPECT_EQ(media.checkCalls().size(), 2u);
    EXPECT_EQ(media.checkCalls()[1].copy, "/out/call-scrivel.mp4");
}

TEST_F(NativeBridgeTest, CopyCheckIsOneJobAmongTheOthersAndCanBeCancelled)
{
    const VideoInfo video = harness.select("clip.mp4");
    finishScan(video);
    finishExport(video, "/out/copy.mp4");

    // A scan running refuses a check.
    startScan(video, "scan-1", "s1");
    harness.request("during-scan", "checkCopy", checkParams(video.id, "check-0"));
    expectRejected(harness.replyTo("during-scan"), kInvalidRequest);
    harness.request("cancel-scan", "cancelJob", Json{{"jobId", "scan-1"}});
    expectRejected(harness.replyTo("s1"), kCancelled);
    EXPECT_TRUE(media.checkCalls().empty());

    // A running check refuses every other job.
    startCheck(video, "check-1", "c1");
    harness.request("c2", "checkCopy", checkParams(video.id, "check-2"));
    expectRejected(harness.replyTo("c2"), kInvalidRequest);
    harness.request("s2", "scanVideo", scanParams(video.id, "scan-2"));
    expectRejected(harness.replyTo("s2"), kInvalidRequest);
    harness.request("e", "exportVideo", exportParams(video.id, "export-9"));
    expectRejected(harness.replyTo("e"), kNoScan);
    EXPECT_EQ(harness.panels.saveOptions.size(), 1u) << "only the set-up's export asked where";
    EXPECT_EQ(bridge.runningJobId(), "check-1");
    EXPECT_EQ(media.checkCalls().size(), 1u);

    harness.request("cancel", "cancelJob", Json{{"jobId", "check-1"}});
    expectResolved(harness.replyTo("cancel"), cancelAcknowledgement());
    EXPECT_EQ(bridge.runningJobId(), std::nullopt);
    expectRejected(harness.replyTo("c1"), kCancelled);
    harness.executor->runPending();
    EXPECT_EQ(progressOf("check-1").size(), 1u) << "its late progress is dropped";

    // Cancelling a check keeps the copy: it can be checked again.
    EXPECT_TRUE(bridge.hasExportedCopy());
    media.releaseJobs();
    harness.request("c3", "checkCopy", checkParams(video.id, "check-3"));
    EXPECT_EQ(harness.replyTo("c3").function, "resolve");
}

// ---------------------------------------------------------------- events

TEST_F(NativeBridgeTest, PlayerEventsReachThePage)
{
    ASSERT_EQ(player.sink, &bridge);
    player.sink->playerRegionSelected({"V", std::nullopt});
    player.sink->playerRegionSelected({"V", 12});
    player.sink->playerManualMaskDrawn("V", {0.25, 0.5, 0.125, 0.0625});
    player.sink->playerFailed("The video could not be played.");
    EXPECT_EQ(page.focusCount, 0);
    player.sink->playerDrawingEnded("V");
    EXPECT_EQ(page.focusCount, 1) << "keyboard focus goes back to the page";
    bridge.emitCommand(MenuCommand::exportVideo);

    ASSERT_EQ(page.calls.size(), 6u);
    const std::vector<std::pair<std::string, Json>> expected{
        {"regionSelected", Json::parse(R"({"videoId":"V","trackId":null})")},
        {"regionSelected", Json::parse(R"({"videoId":"V","trackId":12})")},
        {"manualMaskDrawn",
         Json::parse(R"({"videoId":"V","rect":{"x":0.25,"y":0.5,"width":0.125,"height":0.0625}})")},
        {"toast", Json::parse(R"({"message":"The video could not be played."})")},
        {"drawingEnded", Json::parse(R"({"videoId":"V"})")},
        {"command", Json::parse(R"({"name":"export"})")},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(page.calls[i].function, "emit");
        EXPECT_EQ(page.calls[i].argument, expected[i].first);
        EXPECT_EQ(page.calls[i].payload, expected[i].second);
    }
    EXPECT_NE(page.calls[0].text.find(R"("trackId":null)"), std::string::npos);
}

TEST_F(NativeBridgeTest, DrawingOffReturnsFocusToThePage)
{
    const VideoInfo video = harness.select("clip.mp4");
    harness.request("on", "setDrawing", Json{{"videoId", video.id}, {"enabled", true}});
    expectResolved(harness.replyTo("on"), acknowledgement());
    EXPECT_TRUE(player.drawing);
    EXPECT_EQ(page.focusCount, 0);
    harness.request("off", "setDrawing", Json{{"videoId", video.id}, {"enabled", false}});
    expectResolved(harness.replyTo("off"), acknowledgement());
    EXPECT_FALSE(player.drawing);
    EXPECT_EQ(page.focusCount, 1);
    EXPECT_TRUE(page.events("drawingEnded").empty());
}

TEST_F(NativeBridgeTest, RevealAndNavigationGoToTheDesktop)
{
    harness.request("r", "revealInFinder", Json{{"path", "relative/not checked.mp4"}});
    expectResolved(harness.replyTo("r"), acknowledgement());
    EXPECT_EQ(harness.workspace.revealed, std::vector<std::filesystem::path>{"relative/not checked.mp4"});

    EXPECT_EQ(bridge.decideNavigation({"https://example.com/privacy", NavigationType::linkClicked}),
              NavigationDecision::cancel);
    EXPECT_EQ(bridge.decideNavigation({"https://example.com/tracker", NavigationType::other}),
              NavigationDecision::cancel);
    EXPECT_EQ(bridge.decideNavigation({"scrivel://app/index.html", NavigationType::other}), NavigationDecision::allow);
    EXPECT_EQ(harness.workspace.opened, std::vector<std::string>{"https://example.com/privacy"});
}

// ---------------------------------------------------------------- shutdown

TEST_F(NativeBridgeTest, ShutdownCancelsTheJobAndIgnoresLaterInput)
{
    const VideoInfo video = harness.select("clip.mp4");
    startScan(video, "job-1", "scan-1");

    bool done = false;
    bridge.shutdown([&] { done = true; });
    EXPECT_FALSE(done) << "returns at once";
    EXPECT_EQ(player.shutdowns, 1);
    EXPECT_TRUE(bridge.isShuttingDown());

    ASSERT_TRUE(harness.executor->runUntil([&] { return done; }));
    expectRejected(page.repliesTo("scan-1").at(0), kCancelled);
    EXPECT_EQ(bridge.selectedVideo(), std::nullopt);

    const std::size_t calls = page.calls.size();
    harness.request("late", "ready");
    bridge.handleDroppedFile("/videos/late.mp4");
    harness.executor->runPending();
    EXPECT_EQ(page.calls.size(), calls);
    EXPECT_EQ(player.loads.size(), 1u);
}

TEST_F(NativeBridgeTest, ShutdownEndsSelectionsInProgressAndDoneWaitsForThem)
{
    harness.request("ready", "ready");
    harness.request("o", "openVideo");
    harness.panels.answerOpen("/videos/slow.mp4");
    bool done = false;
    bridge.shutdown([&] { done = true; });
    harness.executor->runPending();
    EXPECT_FALSE(done) << "the probe is still running";
    media.releaseProbes();
    ASSERT_TRUE(harness.executor->runUntil([&] { return done; }));
    expectRejected(harness.replyTo("o"), kCancelled);
    EXPECT_TRUE(player.loads.empty());

    // With nothing running, done still comes on the main thread, later.
    BridgeHarness idle{media.operations()};
    bool idleDone = false;
    idle.bridge->shutdown([&] { idleDone = true; });
    EXPECT_FALSE(idleDone);
    idle.executor->runPending();
    EXPECT_TRUE(idleDone);
}

TEST_F(NativeBridgeTest, ADestroyedBridgeAnswersNothingLater)
{
    const VideoInfo video = harness.select("clip.mp4");
    harness.request("o", "openVideo");
    startScan(video, "job-1", "scan-1");
    const std::size_t calls = page.calls.size();
    harness.bridge.reset(); // joins the scan's thread
    EXPECT_EQ(player.sink, nullptr);
    harness.panels.answerOpen("/videos/late.mp4");
    harness.executor->runPending();
    EXPECT_EQ(page.calls.size(), calls);
}
