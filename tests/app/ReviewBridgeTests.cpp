// Saved reviews and the review list through the bridge: the kinds that hide
// each track, stepping through a track's frames, saving a review, opening it
// again in a fresh bridge (a restart), refusing one whose video changed, and
// the page's say before an unsaved review goes.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "ScrivelApp/NativeBridge.hpp"
#include "ScrivelCore/SavedReview.hpp"
#include "app/BridgeFakes.hpp"
#include "support/ClipWriter.hpp"

using namespace scrivel;
using namespace scrivel::test;

namespace {

namespace fs = std::filesystem;

using Folder = test::TemporaryFolder;

TextSelection span(RedactionKind kind) { return {{0, 0, 0.5, 1}, kind, "span"}; }

class ReviewBridgeTest : public ::testing::Test {
protected:
    ReviewBridgeTest()
    {
        std::ofstream(video, std::ios::binary) << std::string(4096, 'v');
        // Track 3 hides an e-mail address in its second frame only; track 5
        // is a line read in every frame that hides nothing.
        DetectedRegion plain = media.result.samples[0].regions[0];
        plain.trackID = 5;
        plain.text = "Reports";
        media.result.samples[1].regions[0].selections = {span(RedactionKind::email), span(RedactionKind::han)};
        for (DetectionSample& sample : media.result.samples)
            sample.regions.push_back(plain);
        media.result.samples.push_back({1.0, 0, {plain}});
        media.result.samples.push_back({1.5, 0, {media.result.samples[1].regions[0]}});
        media.result.sampleCount = 4;
    }
    void TearDown() override
    {
        media.releaseProbes();
        media.releaseJobs();
    }

    VideoInfo scanned(BridgeHarness& h)
    {
        const VideoInfo info = h.select(video);
        media.releaseJobs();
        ScanSettings settings;
        settings.blurEmails = true;
        settings.customTerms = {"Reports"};
        h.request("scan", "scanVideo", Json{{"videoId", info.id}, {"jobId", "job"}, {"settings", toJson(settings)}});
        EXPECT_EQ(h.replyTo("scan").function, "resolve");
        return info;
    }

    Folder folder;
    fs::path video = folder.path / "standup.mp4";
    FakeMedia media;
    BridgeHarness harness{media.operations()};
    FakePage& page = *harness.page;
};

TEST_F(ReviewBridgeTest, SummaryTellsWhatHidesEachTrackAndStepsThroughItsFrames)
{
    const VideoInfo info = scanned(harness);
    const PageCall reply = page.repliesTo("scan").front();
    ASSERT_EQ(reply.payload.at("tracks").size(), 2u);
    EXPECT_EQ(reply.payload.at("tracks")[0].at("id"), 3);
    EXPECT_EQ(reply.payload.at("tracks")[0].at("kinds"), Json::array({"email", "han"}));
    EXPECT_EQ(reply.payload.at("tracks")[1].at("kinds"), Json::array()) << "read, hides nothing";

    const auto step = [&](const std::string& id, std::int64_t track, double time, const char* direction) {
        harness.request(id, "stepTrack",
                        Json{{"videoId", info.id}, {"trackId", track}, {"time", time}, {"direction", direction}});
        return harness.replyTo(id);
    };
    // Track 3 is in the frames at 0, 0.5 and 1.5; not at 1.0.
    EXPECT_EQ(step("s1", 3, 0.5, "next").payload, (Json{{"time", 1.5}}));
    EXPECT_EQ(step("s2", 3, 1.5, "previous").payload, (Json{{"time", 0.5}}));
    EXPECT_EQ(step("s3", 3, 1.5, "next").payload, (Json{{"time", nullptr}})) << "no later frame";
    EXPECT_EQ(step("s4", 5, 0.5, "next").payload, (Json{{"time", 1.0}}));
    const PageCall sideways = step("s5", 3, 0, "sideways");
    EXPECT_EQ(sideways.function, "reject");
    EXPECT_EQ(sideways.payload.at("message"), "direction: unknown value \"sideways\"");
    EXPECT_EQ(step("s6", 3, 0, "next").payload, (Json{{"time", 0.5}}));
    harness.request("s7", "stepTrack", Json{{"videoId", "other"}, {"trackId", 3}, {"time", 0}, {"direction", "next"}});
    EXPECT_EQ(harness.replyTo("s7").payload.at("message"), "Choose a video first.");
}

TEST_F(ReviewBridgeTest, ASavedReviewOpensAfterARestartOntoTheSameVideo)
{
    const VideoInfo info = scanned(harness);
    RenderSettings settings = startingRenderSettings();
    settings.style = MaskStyle::solid;
    settings.excludedTrackIDs = {3};
    settings.manualMasks = {{"mask-1", {0.1, 0.1, 0.2, 0.2}, 1, 3, true}};
    const Json save = {{"videoId", info.id}, {"renderSettings", toJson(settings)}, {"saveAs", false}};

    // The first save asks where; cancelling saves nothing.
    harness.request("save-0", "saveReview", save);
    ASSERT_EQ(harness.panels.saveOptions.size(), 1u);
    EXPECT_EQ(harness.panels.saveOptions[0].suggestedFileName, "standup.scrivel");
    EXPECT_EQ(harness.panels.saveOptions[0].defaultExtension, ".scrivel");
    EXPECT_EQ(harness.panels.saveOptions[0].suffixes, std::vector<std::string>{"scrivel"});
    harness.panels.answerSave(std::nullopt);
    EXPECT_EQ(harness.replyTo("save-0").payload, nullptr);

    const fs::path file = folder.path / "standup.scrivel";
    harness.request("save-1", "saveReview", save);
    harness.panels.answerSave(file);
    EXPECT_EQ(harness.replyTo("save-1").payload, (Json{{"path", file.string()}}));
    const SavedReview written = readReviewFile(file);
    EXPECT_EQ(written.video.path, video.string());
    EXPECT_EQ(written.video.sizeBytes, 4096);
    EXPECT_EQ(written.scanSettings.customTerms, std::vector<std::string>{"Reports"}) << "what the scan was run with";
    EXPECT_EQ(written.scanResult, media.result);
    EXPECT_EQ(written.renderSettings, settings);
    EXPECT_EQ(harness.bridge->reviewFile(), file);

    // Saving again goes to the same file without asking.
    settings.excludedTrackIDs.clear();
    harness.request("save-2", "saveReview",
                    Json{{"videoId", info.id}, {"renderSettings", toJson(settings)}, {"saveAs", false}});
    EXPECT_EQ(harness.replyTo("save-2").payload, (Json{{"path", file.string()}}));
    EXPECT_EQ(harness.panels.saveOptions.size(), 2u);
    EXPECT_EQ(readReviewFile(file).renderSettings, settings);

    // A restart: a new bridge with nothing selected opens the file.
    FakeMedia freshMedia;
    BridgeHarness restarted{freshMedia.operations()};
    restarted.request("ready", "ready");
    restarted.request("open", "openReview", Json{{"path", file.string()}});
    const PageCall opened = restarted.replyTo("open");
    ASSERT_EQ(opened.function, "resolve") << opened.text;
    EXPECT_EQ(opened.payload.at("path"), file.string());
    EXPECT_EQ(opened.payload.at("video").at("displayName"), "standup.mp4");
    EXPECT_EQ(decode<RenderSettings>(opened.payload.at("renderSettings")), settings);
    EXPECT_EQ(decode<ScanSettings>(opened.payload.at("scanSettings")), written.scanSettings);
    EXPECT_EQ(opened.payload.at("summary").at("tracks").size(), 2u);
    EXPECT_EQ(opened.payload.at("summary").at("tracks")[0].at("kinds"), Json::array({"email", "han"}));
    EXPECT_EQ(restarted.player.loads, std::vector<fs::path>{video});
    EXPECT_EQ(restarted.player.result, media.result) << "the player masks the saved scan";
    EXPECT_TRUE(restarted.bridge->hasScanResult());
    const std::string videoId = opened.payload.at("video").at("id");

    // The opened review exports without a new scan, and saves back to its file.
    restarted.request("save-3", "saveReview",
                      Json{{"videoId", videoId}, {"renderSettings", toJson(settings)}, {"saveAs", false}});
    EXPECT_EQ(restarted.replyTo("save-3").payload, (Json{{"path", file.string()}}));
    EXPECT_TRUE(restarted.panels.saveOptions.empty());
    // "Save as" always asks.
    restarted.request("save-4", "saveReview",
                      Json{{"videoId", videoId}, {"renderSettings", toJson(settings)}, {"saveAs", true}});
    EXPECT_EQ(restarted.panels.saveOptions.size(), 1u);
    restarted.panels.answerSave(std::nullopt);
    EXPECT_EQ(restarted.replyTo("save-4").payload, nullptr);
}

TEST_F(ReviewBridgeTest, ReviewsOfAChangedOrMissingVideoAreRefusedSayingWhich)
{
    const VideoInfo info = scanned(harness);
    const fs::path file = folder.path / "a.scrivel";
    harness.request("save", "saveReview",
                    Json{{"videoId", info.id}, {"renderSettings", toJson(startingRenderSettings())}, {"saveAs", true}});
    harness.panels.answerSave(file);
    ASSERT_EQ(harness.replyTo("save").function, "resolve");

    const auto open = [&](const std::string& id) {
        harness.request(id, "openReview", Json{{"path", file.string()}});
        return harness.replyTo(id);
    };
    std::ofstream(video, std::ios::binary) << std::string(4095, 'v') << 'w';
    const PageCall changed = open("changed");
    EXPECT_EQ(changed.function, "reject");
    EXPECT_EQ(changed.payload.at("message"), "The video at " + video.string() +
                                                 " is not the one this review was made from: its contents have "
                                                 "changed. Scan it again instead.");
    fs::remove(video);
    const PageCall missing = open("missing");
    EXPECT_EQ(missing.payload.at("message"), "The video this review was made from is missing: " + video.string() +
                                                 " no longer exists. Put the recording back there to open the review.");
    Json future = toJson(readReviewFile(file));
    future["version"] = 2;
    std::ofstream(file) << future.dump();
    const PageCall newer = open("newer");
    EXPECT_NE(newer.payload.at("message").get<std::string>().find("saved by a newer version of Scrivel"),
              std::string::npos);
    EXPECT_TRUE(harness.bridge->hasScanResult()) << "a refused review leaves the current one alone";

    // Chosen in the panel; cancelling it resolves null.
    harness.request("panel", "openReview", Json{{"path", nullptr}});
    ASSERT_EQ(harness.panels.openOptions.size(), 1u);
    EXPECT_EQ(harness.panels.openOptions[0].suffixes, std::vector<std::string>{"scrivel"});
    harness.panels.answerOpen(std::nullopt);
    EXPECT_EQ(harness.replyTo("panel").payload, nullptr);
    harness.request("no-path", "openReview", Json::object());
    EXPECT_EQ(harness.replyTo("no-path").payload.at("message"), "path: missing key");
}

TEST_F(ReviewBridgeTest, SavingNeedsAScan)
{
    const VideoInfo info = harness.select(video);
    harness.request("save", "saveReview",
                    Json{{"videoId", info.id}, {"renderSettings", toJson(startingRenderSettings())}, {"saveAs", false}});
    EXPECT_EQ(harness.replyTo("save").payload.at("message"), "Scan the video before saving a review.");
    EXPECT_TRUE(harness.panels.saveOptions.empty());
}

TEST_F(ReviewBridgeTest, FilesFromOutsideAndQuittingWaitForThePageWhileAReviewIsUnsaved)
{
    std::vector<int> quits;
    harness.bridge->setQuitHandler([&] { quits.push_back(1); });
    const fs::path review = folder.path / "Kept.SCRIVEL";
    // Before the page is ready a review is held like a video.
    harness.bridge->handleDroppedFile(review);
    EXPECT_TRUE(page.events("openRequested").empty());
    harness.request("ready", "ready");
    ASSERT_EQ(page.events("openRequested").size(), 1u);
    EXPECT_EQ(page.events("openRequested")[0].payload, (Json{{"path", review.string()}, {"kind", "review"}}));

    const VideoInfo info = scanned(harness);
    EXPECT_FALSE(harness.bridge->holdQuitForUnsavedReview()) << "nothing unsaved reported";
    harness.request("dirty", "setReviewState", Json{{"unsaved", true}});
    EXPECT_TRUE(harness.bridge->hasUnsavedReview());

    // A video dropped now is the page's to open, after it asked.
    const fs::path other = folder.path / "other.mov";
    const std::size_t selected = page.events("videoSelected").size();
    harness.bridge->handleDroppedFile(other);
    harness.executor->runPending();
    EXPECT_EQ(page.events("videoSelected").size(), selected);
    ASSERT_EQ(page.events("openRequested").size(), 2u);
    EXPECT_EQ(page.events("openRequested")[1].payload, (Json{{"path", other.string()}, {"kind", "video"}}));
    EXPECT_EQ(harness.bridge->selectedVideo()->id, info.id);

    // Quitting asks the page; its "closeWindow" quits.
    EXPECT_TRUE(harness.bridge->holdQuitForUnsavedReview());
    ASSERT_EQ(page.events("command").size(), 1u);
    EXPECT_EQ(page.events("command")[0].payload, (Json{{"name", "close"}}));
    EXPECT_TRUE(quits.empty());
    harness.request("close", "closeWindow");
    EXPECT_EQ(harness.replyTo("close").payload, (Json{{"ok", true}}));
    EXPECT_EQ(quits.size(), 1u);
    EXPECT_FALSE(harness.bridge->holdQuitForUnsavedReview()) << "the page already said it may go";

    // The user agreed to replace the review with the dropped video.
    harness.request("open", "openVideoFile", Json{{"path", other.string()}});
    const PageCall opened = harness.replyTo("open");
    EXPECT_EQ(opened.payload.at("displayName"), "other.mov");
    EXPECT_FALSE(harness.bridge->hasScanResult());
}

} // namespace
