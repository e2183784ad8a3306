// The bridge driven as the page drives it: JSON messages in, page calls out,
// with the toolkit, the player, the panels and the media work faked.

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/NativeBridgeSuite.hpp"

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
