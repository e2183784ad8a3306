#include "fuzz/FuzzSupport.hpp"

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "ScrivelApp/NativeBridge.hpp"

using namespace scrivel;

// The page's messages go to a bridge with a video selected, whose host and
// media work are stand-ins: panels answer at once (the save panel with a
// path, the open panel cancelled), scans and exports return at once. Every
// call the bridge makes into the page must be well formed, and every
// request the page can address (string "id" and "method") must get exactly
// one reply.

namespace {

constexpr const char* kVideoId = "V";

class Executor final : public MainThreadExecutor {
public:
    void post(std::function<void()> task) override
    {
        const std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    // Runs what was posted; true when there was something.
    bool runPosted()
    {
        std::deque<std::function<void()>> batch;
        {
            const std::lock_guard lock(mutex_);
            batch.swap(tasks_);
        }
        for (auto& task : batch)
            task();
        return !batch.empty();
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
};

class Page final : public PageView {
public:
    void evaluateScript(const std::string& script) override { scripts.push_back(script); }
    bool hasWindow() const override { return true; }
    void focusPage() override {}
    std::vector<std::string> scripts;
};

struct Frame final : ViewFrame {
    void setFrame(const ViewRect&) override {}
    void setHidden(bool) override {}
};

struct Panels final : FilePanels {
    void showOpenPanel(const OpenPanelOptions&, Completion done) override { done(std::nullopt); }
    void showSavePanel(const SavePanelOptions&, Completion done) override { done("/fuzz/out.mp4"); }
};

struct Desktop final : Workspace {
    void revealFile(const std::filesystem::path&) override {}
    void openURL(const std::string&) override {}
};

class Player final : public PreviewPlayerControl {
public:
    void setFrame(const ViewRect&) override {}
    void setHidden(bool) override {}
    void setEventSink(PlayerEventSink*) override {}
    void load(const std::filesystem::path&, const VideoInfo& info) override { loaded_ = info; }
    void setScanResult(const ScanResult&) override {}
    void setPreview(bool, bool, const RenderSettings&) override {}
    void setDrawing(bool) override {}
    void togglePlayback() override {}
    void resetViewport() override {}
    void seek(double seconds) override
    {
        if (!(seconds >= 0 && seconds <= loaded_->duration))
            fuzz::fail("the player was asked to seek outside the video");
    }
    std::optional<VideoInfo> loadedVideo() const override { return loaded_; }
    void shutdown() override {}

private:
    std::optional<VideoInfo> loaded_;
};

VideoInfo fakeInfo()
{
    return {kVideoId, "clip.mp4", 10, 320, 240, 30, 1000};
}

BridgeOperations fakeOperations()
{
    BridgeOperations operations;
    operations.inspect = [](const std::filesystem::path&) { return fakeInfo(); };
    operations.scan = [](const std::filesystem::path&, const ScanSettings&, const ScanProgressCallback&,
                         std::stop_token) {
        ScanResult result;
        result.duration = 10;
        result.frameRate = 30;
        return result;
    };
    operations.exportVideo = [](const std::filesystem::path&, const std::filesystem::path&, const ScanResult&,
                                const RenderSettings&, const std::function<void(double)>&, std::stop_token) {};
    operations.verify = [](const std::filesystem::path&, const std::filesystem::path&, const ScanSettings&,
                           const ScanProgressCallback&, std::stop_token) { return CopyCheck{}; };
    return operations;
}

// Splits "window.__scrivel?.NAME(A, B);" into NAME, A and B (both JSON).
struct PageCall {
    std::string function;
    Json first;
    Json second;
};

PageCall parseCall(const std::string& script)
{
    static const std::string prefix = "window.__scrivel?.";
    if (script.rfind(prefix, 0) != 0 || script.size() < prefix.size() + 4 || script.substr(script.size() - 2) != ");")
        fuzz::fail("a page call is not of the form window.__scrivel?.f(a, b);");
    const std::size_t open = script.find('(', prefix.size());
    if (open == std::string::npos)
        fuzz::fail("a page call has no argument list");
    PageCall call;
    call.function = script.substr(prefix.size(), open - prefix.size());
    if (call.function != "resolve" && call.function != "reject" && call.function != "emit")
        fuzz::fail("a page call names an unknown function");
    // The first argument is a JSON string literal: it ends at the first
    // unescaped quote after its opening one.
    std::size_t end = open + 1;
    if (end >= script.size() || script[end] != '"')
        fuzz::fail("a page call's first argument is not a string");
    for (++end; end < script.size() && script[end] != '"'; ++end)
        if (script[end] == '\\')
            ++end;
    if (end >= script.size() || script.compare(end + 1, 2, ", ") != 0)
        fuzz::fail("a page call's arguments are not separated by \", \"");
    const Json first = Json::parse(script.begin() + static_cast<std::ptrdiff_t>(open + 1),
                                   script.begin() + static_cast<std::ptrdiff_t>(end + 1), nullptr, false);
    const Json second = Json::parse(script.begin() + static_cast<std::ptrdiff_t>(end + 3), script.end() - 2, nullptr,
                                    false);
    if (first.is_discarded() || !first.is_string() || second.is_discarded())
        fuzz::fail("a page call's arguments are not JSON");
    call.first = first;
    call.second = second;
    return call;
}

// Runs posted work until the bridge has nothing in flight.
void settle(Executor& executor, const NativeBridge& bridge)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (executor.runPosted() || bridge.runningJobId()) {
        if (std::chrono::steady_clock::now() > deadline)
            fuzz::fail("a job never ended");
        std::this_thread::yield();
    }
}

} // namespace

// Input: up to eight messages, one per line, each the body the page posts.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto executor = std::make_shared<Executor>();
    auto page = std::make_shared<Page>();
    Player player;
    Frame dragStrip;
    Panels panels;
    Desktop desktop;
    std::map<std::string, int> expectedReplies;
    {
        NativeBridge bridge(player, dragStrip, panels, desktop, executor, fakeOperations());
        bridge.setPageView(page);
        bridge.handleMessage(R"({"id":"setup","method":"ready"})");
        bridge.handleDroppedFile("/fuzz/clip.mp4");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!bridge.selectedVideo()) {
            executor->runPosted();
            if (std::chrono::steady_clock::now() > deadline)
                fuzz::fail("the selection never finished");
            std::this_thread::yield();
        }
        expectedReplies["setup"] = 1;

        const std::string input = fuzz::text(data, size);
        std::size_t from = 0;
        for (int count = 0; count < 8 && from <= input.size(); ++count) {
            const std::size_t newline = input.find('\n', from);
            const std::string body = input.substr(from, newline == std::string::npos ? std::string::npos : newline - from);
            from = newline == std::string::npos ? input.size() + 1 : newline + 1;

            const Json parsed = Json::parse(body, nullptr, false);
            if (!parsed.is_discarded() && parsed.is_object() && parsed.contains("id") && parsed["id"].is_string() &&
                parsed.contains("method") && parsed["method"].is_string())
                ++expectedReplies[parsed["id"].get<std::string>()];
            bridge.handleMessage(body);
            settle(*executor, bridge);
        }

        bool done = false;
        bridge.shutdown([&] { done = true; });
        const auto shutdownDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done) {
            executor->runPosted();
            if (std::chrono::steady_clock::now() > shutdownDeadline)
                fuzz::fail("shutdown never finished");
            std::this_thread::yield();
        }
    }
    executor->runPosted(); // completions that outlived the bridge must find it gone

    std::map<std::string, int> replies;
    for (const std::string& script : page->scripts) {
        const PageCall call = parseCall(script);
        if (call.function == "emit")
            continue;
        ++replies[call.first.get<std::string>()];
        if (call.function == "reject" &&
            !(call.second.is_object() && call.second.contains("message") && call.second["message"].is_string() &&
              !call.second["message"].get<std::string>().empty()))
            fuzz::fail("a rejection carries no message");
    }
    if (replies != expectedReplies)
        fuzz::fail("a request got no reply or more than one");
    return 0;
}
