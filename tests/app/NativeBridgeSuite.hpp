#pragma once

// The suite the bridge's page-driven tests share: a bridge wired to fakes of
// the toolkit, the player, the panels and the media work, with the messages
// and answers the tests send and expect.

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

inline ScanSettings emailsOnly()
{
    ScanSettings settings;
    settings.blurEmails = true;
    settings.quality = OCRQuality::fast;
    return settings;
}

inline Json scanParams(const std::string& videoId, const std::string& jobId, const ScanSettings& settings = emailsOnly())
{
    return {{"videoId", videoId}, {"jobId", jobId}, {"settings", toJson(settings)}};
}

inline Json exportParams(const std::string& videoId, const std::string& jobId,
                  const RenderSettings& settings = startingRenderSettings())
{
    return {{"videoId", videoId}, {"jobId", jobId}, {"settings", toJson(settings)}};
}

inline Json checkParams(const std::string& videoId, const std::string& jobId)
{
    return {{"videoId", videoId}, {"jobId", jobId}};
}

inline void expectResolved(const PageCall& reply, const Json& payload)
{
    EXPECT_EQ(reply.function, "resolve") << reply.text;
    EXPECT_EQ(reply.payload, payload) << reply.text;
}

inline void expectRejected(const PageCall& reply, const std::string& message)
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
