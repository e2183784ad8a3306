#pragma once

// Stand-ins for the toolkit around the bridge: a main thread the test drains
// by hand, a page that records its calls, a player, panels and a workspace
// that record what they were asked to do. Plus a harness wiring them to a
// NativeBridge.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ScrivelApp/BridgeHost.hpp"
#include "ScrivelApp/NativeBridge.hpp"
#include "ScrivelCore/Errors.hpp"

namespace scrivel::test {

// The "main thread" is the test's own thread, running posted tasks when
// the test says so.
class QueueExecutor final : public MainThreadExecutor {
public:
    void post(std::function<void()> task) override
    {
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        wake_.notify_all();
    }

    // Runs tasks (waiting for more as needed) until `done` holds; false when
    // it does not within `timeout`.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(60))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            std::function<void()> task;
            {
                std::unique_lock lock(mutex_);
                if (!wake_.wait_until(lock, deadline, [&] { return !tasks_.empty(); }))
                    return done();
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
        return true;
    }

    // Runs whatever is queued now, and what those tasks queue in turn.
    void runPending()
    {
        for (;;) {
            std::function<void()> task;
            {
                std::lock_guard lock(mutex_);
                if (tasks_.empty())
                    return;
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
};

// One call into the page, taken apart again.
struct PageCall {
    std::string function; // resolve, reject, emit
    std::string argument; // request id or event name
    Json payload;
    std::string text;     // as evaluated
};

// Splits "window.__scrivel?.NAME(ARG, PAYLOAD);" back into its parts.
inline PageCall parsePageCall(const std::string& text)
{
    const std::string prefix = "window.__scrivel?.";
    EXPECT_EQ(text.rfind(prefix, 0), 0u) << text;
    EXPECT_GE(text.size(), prefix.size() + 3);
    const std::size_t open = text.find('(');
    EXPECT_EQ(text.substr(text.size() - 2), ");") << text;
    PageCall call;
    call.text = text;
    call.function = text.substr(prefix.size(), open - prefix.size());
    const Json both = Json::parse("[" + text.substr(open + 1, text.size() - open - 3) + "]");
    EXPECT_EQ(both.size(), 2u) << text;
    call.argument = both.at(0).get<std::string>();
    call.payload = both.at(1);
    return call;
}

class FakePage final : public PageView {
public:
    void evaluateScript(const std::string& script) override { calls.push_back(parsePageCall(script)); }
    bool hasWindow() const override { return window; }
    void focusPage() override { ++focusCount; }

    // The calls answering `requestId` (resolve or reject).
    std::vector<PageCall> repliesTo(const std::string& requestId) const
    {
        std::vector<PageCall> found;
        for (const PageCall& call : calls)
            if (call.function != "emit" && call.argument == requestId)
                found.push_back(call);
        return found;
    }
    std::vector<PageCall> events(const std::string& name) const
    {
        std::vector<PageCall> found;
        for (const PageCall& call : calls)
            if (call.function == "emit" && call.argument == name)
                found.push_back(call);
        return found;
    }

    std::vector<PageCall> calls;
    bool window = true;
    int focusCount = 0;
};

class FakeFrame : public ViewFrame {
public:
    void setFrame(const ViewRect& value) override { frame = value; }
    void setHidden(bool value) override { hidden = value; }

    std::optional<ViewRect> frame;
    bool hidden = true;
};

class FakePlayer final : public PreviewPlayerControl {
public:
    void setFrame(const ViewRect& value) override { frame = value; }
    void setHidden(bool value) override { hidden = value; }
    void setEventSink(PlayerEventSink* value) override { sink = value; }
    void load(const std::filesystem::path& url, const VideoInfo& info) override
    {
        loads.push_back(url);
        loaded = info;
        drawing = false;
    }
    void setScanResult(const ScanResult& value) override { result = value; }
    void setPreview(bool enabled, bool showRegions, const RenderSettings& settings) override
    {
        previews.push_back({enabled, showRegions, settings});
    }
    void setDrawing(bool enabled) override
    {
        drawing = enabled;
        drawingCalls.push_back(enabled);
    }
    void togglePlayback() override { ++toggles; }
    void resetViewport() override { ++viewportResets; }
    void seek(double seconds) override { seeks.push_back(seconds); }
    std::optional<VideoInfo> loadedVideo() const override { return loaded; }
    void shutdown() override { ++shutdowns; }

    struct Preview {
        bool enabled;
        bool showRegions;
        RenderSettings settings;
    };

    std::optional<ViewRect> frame;
    bool hidden = true;
    PlayerEventSink* sink = nullptr;
    std::vector<std::filesystem::path> loads;
    std::optional<VideoInfo> loaded;
    std::optional<ScanResult> result;
    std::vector<Preview> previews;
    bool drawing = false;
    std::vector<bool> drawingCalls;
    int toggles = 0;
    int viewportResets = 0;
    std::vector<double> seeks;
    int shutdowns = 0;
};

// Keeps each panel open until the test answers it.
class FakePanels final : public FilePanels {
public:
    void showOpenPanel(const OpenPanelOptions& options, Completion done) override
    {
        openOptions.push_back(options);
        openPending.push_back(std::move(done));
    }
    void showSavePanel(const SavePanelOptions& options, Completion done) override
    {
        saveOptions.push_back(options);
        savePending.push_back(std::move(done));
    }
    void answerOpen(std::optional<std::filesystem::path> chosen) { take(openPending)(std::move(chosen)); }
    void answerSave(std::optional<std::filesystem::path> chosen) { take(savePending)(std::move(chosen)); }

    std::vector<OpenPanelOptions> openOptions;
    std::vector<SavePanelOptions> saveOptions;
    std::deque<Completion> openPending;
    std::deque<Completion> savePending;

private:
    static Completion take(std::deque<Completion>& pending)
    {
        EXPECT_FALSE(pending.empty()) << "no panel is open";
        if (pending.empty())
            return [](std::optional<std::filesystem::path>) {};
        Completion done = std::move(pending.front());
        pending.pop_front();
        return done;
    }
};

class FakeWorkspace final : public Workspace {
public:
    void revealFile(const std::filesystem::path& path) override { revealed.push_back(path); }
    void openURL(const std::string& url) override { opened.push_back(url); }

    std::vector<std::filesystem::path> revealed;
    std::vector<std::string> opened;
};

// Media work without media. Probes make up a 12.5 s video for any path, wait
// for releaseProbes() when the file name holds "slow" and fail when it holds
// "broken". Scans, exports and copy checks report one progress value, then
// wait until jobs are released (finish) or their stop token (report one late
// value, then throw OperationCancelled). Released gates stay open until held
// again.
class FakeMedia {
public:
    static constexpr double duration = 12.5;
    static ScanProgress firstScanProgress() { return {0.1, 1, 10, 2, "Recognizing text"}; }
    static ScanProgress lateScanProgress() { return {0.5, 5, 10, 4, "Recognizing text"}; }
    static ScanProgress firstCheckProgress() { return {0.2, 3, 15, 1, "Reading the copy"}; }

    // What a check asked for.
    struct CheckCall {
        std::filesystem::path original;
        std::filesystem::path copy;
        ScanSettings settings;
    };

    FakeMedia()
    {
        DetectedRegion region;
        region.rect = {0.1, 0.2, 0.3, 0.05};
        region.text = "jane@example.com";
        region.confidence = 0.9F;
        region.trackID = 3;
        result.duration = duration;
        result.frameRate = 30;
        result.samples = {{0.0, 0, {region}}, {0.5, 0, {region}}};
        result.sampleCount = 2;
        result.totalRegions = 2;
    }

    BridgeOperations operations()
    {
        BridgeOperations operations;
        operations.inspect = [this](const std::filesystem::path& url) {
            const std::string name = url.filename().string();
            if (name.find("slow") != std::string::npos)
                waitFor(probesReleased_, {});
            if (name.find("broken") != std::string::npos)
                throw ScrivelError::noVideoTrack();
            VideoInfo info;
            info.id = "VIDEO-" + std::to_string(++probes);
            info.displayName = name;
            info.duration = duration;
            info.width = 320;
            info.height = 240;
            info.nominalFrameRate = 30;
            return info;
        };
        operations.scan = [this](const std::filesystem::path&, const ScanSettings& settings,
                                 const ScanProgressCallback& progress, std::stop_token stop) {
            ++scansStarted;
            {
                std::lock_guard lock(mutex_);
                lastScanSettings_ = settings;
            }
            progress(firstScanProgress());
            if (!waitFor(jobsReleased_, stop)) {
                progress(lateScanProgress());
                throw OperationCancelled();
            }
            progress({1.0, 2, 2, 2, "Tracking text motion"});
            return result;
        };
        operations.exportVideo = [this](const std::filesystem::path&, const std::filesystem::path&,
                                        const ScanResult&, const RenderSettings&,
                                        const std::function<void(double)>& progress, std::stop_token stop) {
            ++exportsStarted;
            progress(0.257);
            if (!waitFor(jobsReleased_, stop)) {
                progress(0.5);
                throw OperationCancelled();
            }
            progress(1.0);
        };
        operations.verify = [this](const std::filesystem::path& original, const std::filesystem::path& copy,
                                   const ScanSettings& settings, const ScanProgressCallback& progress,
                                   std::stop_token stop) {
            {
                std::lock_guard lock(mutex_);
                checkCalls_.push_back({original, copy, settings});
            }
            progress(firstCheckProgress());
            if (!waitFor(jobsReleased_, stop)) {
                progress({0.6, 9, 15, 1, "Reading the copy"});
                throw OperationCancelled();
            }
            progress({1.0, 1, 1, 0, "Comparing the copy with the original"});
            std::lock_guard lock(mutex_);
            return check;
        };
        return operations;
    }

    void releaseProbes() { set(probesReleased_, true); }
    void holdProbes() { set(probesReleased_, false); }
    void releaseJobs() { set(jobsReleased_, true); }
    void holdJobs() { set(jobsReleased_, false); }

    ScanResult result;
    CopyCheck check; // what every copy check finds; set before the check starts
    std::atomic<int> probes{0};
    std::atomic<int> scansStarted{0};
    std::atomic<int> exportsStarted{0};
    ScanSettings lastScanSettings()
    {
        std::lock_guard lock(mutex_);
        return lastScanSettings_;
    }
    std::vector<CheckCall> checkCalls()
    {
        std::lock_guard lock(mutex_);
        return checkCalls_;
    }

private:
    void set(bool& gate, bool released)
    {
        {
            std::lock_guard lock(mutex_);
            gate = released;
        }
        wake_.notify_all();
    }
    // True when the gate opened, false when stopped first; gives up after a
    // while so that a broken test cannot hang the suite.
    bool waitFor(const bool& gate, std::stop_token stop)
    {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, stop, std::chrono::seconds(30), [&] { return gate; });
        return gate && !stop.stop_requested();
    }

    std::mutex mutex_;
    std::condition_variable_any wake_;
    bool probesReleased_ = false;
    bool jobsReleased_ = false;
    ScanSettings lastScanSettings_;
    std::vector<CheckCall> checkCalls_;
};

// A bridge with fakes all around, its page attached.
struct BridgeHarness {
    explicit BridgeHarness(BridgeOperations operations)
        : bridge(std::make_unique<NativeBridge>(player, dragStrip, panels, workspace, executor, std::move(operations)))
    {
        bridge->setPageView(page);
    }

    // Posts a request the way the page does.
    void request(const std::string& id, const std::string& method, std::optional<Json> params = std::nullopt)
    {
        Json body = {{"id", id}, {"method", method}};
        if (params)
            body["params"] = *params;
        bridge->handleMessage(body.dump());
    }

    // The single reply to `id`, once it has come (running main-thread tasks meanwhile).
    PageCall replyTo(const std::string& id)
    {
        EXPECT_TRUE(executor->runUntil([&] { return !page->repliesTo(id).empty(); })) << "no reply to " << id;
        const std::vector<PageCall> replies = page->repliesTo(id);
        EXPECT_EQ(replies.size(), 1u) << id;
        return replies.empty() ? PageCall{} : replies.front();
    }

    // Makes the page ready (once), drops `path` on the window and waits for
    // its "videoSelected" event; returns the selected video.
    VideoInfo select(const std::filesystem::path& path)
    {
        if (!bridge->isReady()) {
            request("ready-for-" + path.filename().string(), "ready");
            executor->runPending();
        }
        const std::size_t before = page->events("videoSelected").size();
        bridge->handleDroppedFile(path);
        EXPECT_TRUE(executor->runUntil([&] { return page->events("videoSelected").size() > before; }))
            << "no videoSelected for " << path;
        const std::vector<PageCall> selected = page->events("videoSelected");
        return selected.size() > before ? decode<VideoInfo>(selected.back().payload) : VideoInfo{};
    }

    std::shared_ptr<QueueExecutor> executor = std::make_shared<QueueExecutor>();
    std::shared_ptr<FakePage> page = std::make_shared<FakePage>();
    FakePlayer player;
    FakeFrame dragStrip;
    FakePanels panels;
    FakeWorkspace workspace;
    std::unique_ptr<NativeBridge> bridge;
};

} // namespace scrivel::test
