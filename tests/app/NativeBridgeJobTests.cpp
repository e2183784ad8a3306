// The bridge's jobs driven as the page drives them (scans, exports, checks
// of the copy): one at a time, cancelled, overtaken, with the media work faked.

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/NativeBridgeSuite.hpp"

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
