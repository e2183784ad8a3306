#pragma once

// The native side's controller for the web page: answers the page's
// requests, owns the current video selection, the last scan result and the
// single running job (scan, export or a check of the exported copy, on a
// worker thread), drives the preview
// player and relays its events to the page, and decides which navigations
// the web view may perform.
//
// Threads: every member function is called on the main thread, and all state
// lives there. Jobs and file probes run on their own threads and come back
// through the MainThreadExecutor.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "ScrivelApp/BridgeHost.hpp"
#include "ScrivelApp/BridgeProtocol.hpp"
#include "ScrivelApp/JobTasks.hpp"
#include "ScrivelApp/NavigationPolicy.hpp"
#include "ScrivelCore/CopyCheck.hpp"
#include "ScrivelCore/SavedReview.hpp"
#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"
#include "scan/ScanProgress.hpp"
#include "decode/SecurityScopedFileAccess.hpp"
#include "decode/VideoInfo.hpp"

namespace scrivel {

// The media work behind the methods, replaceable so tests can stand in for
// the slow parts. Each runs off the main thread.
struct BridgeOperations {
    using Inspect = std::function<VideoInfo(const std::filesystem::path& url)>;
    using Scan = std::function<ScanResult(const std::filesystem::path& url, const ScanSettings& settings,
                                          const ScanProgressCallback& progress, std::stop_token stop)>;
    using Export = std::function<void(const std::filesystem::path& source, const std::filesystem::path& output,
                                      const ScanResult& result, const RenderSettings& settings,
                                      const std::function<void(double)>& progress, std::stop_token stop)>;
    using Verify = std::function<CopyCheck(const std::filesystem::path& original, const std::filesystem::path& copy,
                                           const ScanSettings& settings, const ScanProgressCallback& progress,
                                           std::stop_token stop)>;

    Inspect inspect;
    Scan scan;
    Export exportVideo;
    Verify verify;

    // MediaInspector, a fresh VideoScanner per scan, VideoExporter, a fresh
    // CopyVerifier per check.
    static BridgeOperations product();
};

class NativeBridge final : public PlayerEventSink {
public:
    // The handler name the page posts to.
    static constexpr std::string_view handlerName = "scrivel";

    // The host objects must outlive the bridge. The bridge registers itself
    // as the player's event sink and detaches in its destructor.
    NativeBridge(PreviewPlayerControl& player, ViewFrame& dragStrip, FilePanels& panels, Workspace& workspace,
                 std::shared_ptr<MainThreadExecutor> executor, BridgeOperations operations = BridgeOperations::product());
    // Cancels and joins whatever still runs (call shutdown() first so the
    // main loop never waits on a job).
    ~NativeBridge() override;
    NativeBridge(const NativeBridge&) = delete;
    NativeBridge& operator=(const NativeBridge&) = delete;

    // Held weakly: page calls are dropped once the shell releases the view.
    void setPageView(std::weak_ptr<PageView> page);

    // A script message from the web view, `body` being the posted value as
    // JSON text. Messages for another handler or from a subframe are ignored.
    void receiveScriptMessage(std::string_view handler, bool fromMainFrame, std::string_view body);
    // The same for a message known to come from the main frame's "scrivel"
    // handler: the text form (text that is not JSON gets no reply), and an
    // already parsed form.
    void handleMessage(std::string_view body);
    void handleParsedMessage(const Json& body);

    // Allow or cancel a navigation of the web view; opens clicked web links in
    // the default browser.
    NavigationDecision decideNavigation(const NavigationAction& action);

    // A file dropped on the window or opened from the file manager. A
    // review (".scrivel") goes to the page as "openRequested", which opens
    // it after asking about unsaved edits; so does a video while the page
    // reports an unsaved review.
    void handleDroppedFile(const std::filesystem::path& path);

    // Whether quitting must wait because the page reports an unsaved
    // review. When it must, the page is sent the "close" command and asks
    // the user; its "closeWindow" then runs the quit handler.
    bool holdQuitForUnsavedReview();
    void setQuitHandler(std::function<void()> quit);

    // The File menu's items: sends the "command" event.
    void emitCommand(MenuCommand command);

    // Stops everything before the application quits: later input is ignored,
    // selections in progress end cancelled, the player shuts down and every
    // job is cancelled. `done` runs on the main thread once every job has
    // ended; this call itself never blocks.
    void shutdown(std::function<void()> done);

    // Player events (PlayerEventSink), forwarded to the page.
    void playerStateChanged(const PlayerState& state) override;
    void playerRegionSelected(const RegionSelection& selection) override;
    void playerManualMaskDrawn(const std::string& videoId, const NormalizedRect& rect) override;
    void playerDrawingEnded(const std::string& videoId) override;
    void playerFailed(const std::string& message) override;

    // Read-only views of the state, for the shell and for tests.
    bool isShuttingDown() const { return shuttingDown_; }
    bool isReady() const { return ready_; }
    std::optional<VideoInfo> selectedVideo() const;
    bool hasScanResult() const { return scanResult_ != nullptr; }
    bool hasExportedCopy() const { return exportedCopy_.has_value(); }
    bool hasUnsavedReview() const { return reviewUnsaved_; }
    // The review file the current scan was saved to or opened from.
    std::optional<std::filesystem::path> reviewFile() const { return reviewPath_; }
    std::optional<std::string> runningJobId() const;

private:
    struct Selection {
        std::filesystem::path url;
        VideoInfo info;
        std::shared_ptr<SecurityScopedFileAccess> access;
        // Its size and hash once a review needed them (hashing reads the whole file).
        std::shared_ptr<const ReviewedVideo> reviewed;
    };
    struct Job {
        std::string id;
        std::string videoID;
    };
    // The file the last finished export of the selected video wrote, and
    // what its check looks for: the settings of the scan it was made from.
    struct ExportedCopy {
        std::string videoID;
        std::filesystem::path path;
        ScanSettings scanSettings;
    };
    // Gets the VideoInfo or the error of a selection attempt.
    using SelectionDone = std::function<void(const VideoInfo* info, std::exception_ptr error)>;

    void dispatch(const std::string& requestId, const std::string& method, const Json& params);
    void openVideo(const std::string& requestId);
    void selectVideo(const std::filesystem::path& url, SelectionDone done);
    void startScan(const std::string& requestId, const ScanRequest& request);
    void startExport(const std::string& requestId, const ExportRequest& request);
    void startCopyCheck(const std::string& requestId, const CheckCopyRequest& request);
    template <class Result>
    void startJob(const std::string& requestId, const std::string& jobId, const std::string& videoId,
                  std::function<Result(std::stop_token)> operation, std::function<Json(Result&)> completion);
    void cancelJob();
    void saveReview(const std::string& requestId, const SaveReviewRequest& request);
    void writeReview(const std::string& requestId, const std::filesystem::path& file, const RenderSettings& settings);
    void openReview(const std::string& requestId, const OpenReviewRequest& request);
    void restoreReview(const std::string& requestId, const std::filesystem::path& file, SavedReview review);
    Json stepTrack(const StepTrackRequest& request) const;
    void report(const JobProgress& progress);
    // Posts `progress` to the main thread, to be reported if the bridge still exists.
    std::function<void(const JobProgress&)> progressReporter();
    const Selection& requireVideo(const std::string& videoId) const;
    void requireRenderSettings(const RenderSettings& settings) const;

    void resolve(const std::string& requestId, const Json& payload);
    void reject(const std::string& requestId, std::exception_ptr error);
    void emit(std::string_view event, const Json& payload);
    void send(std::string_view function, std::string_view argument, const Json& payload);
    void focusPage();

    PreviewPlayerControl& player_;
    ViewFrame& dragStrip_;
    FilePanels& panels_;
    Workspace& workspace_;
    std::shared_ptr<MainThreadExecutor> executor_;
    BridgeOperations operations_;

    // All main thread only.
    std::weak_ptr<PageView> page_;
    std::optional<Selection> selection_;
    std::uint64_t selectionID_ = 0; // token of the latest selection attempt
    std::shared_ptr<const ScanResult> scanResult_;
    ScanSettings scanSettings_; // what scanResult_ was scanned for
    std::optional<ExportedCopy> exportedCopy_;
    std::optional<std::filesystem::path> reviewPath_; // the review file of scanResult_
    bool reviewUnsaved_ = false;                      // as the page last reported
    bool quitConfirmed_ = false;                      // the page said the review may go
    std::function<void()> quitHandler_;
    std::optional<Job> job_;
    bool shuttingDown_ = false;
    bool ready_ = false;
    std::optional<std::filesystem::path> pendingVideo_;

    // Expires with the bridge: closures queued on the main thread check it.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    // Declared last so their threads are joined before anything above goes.
    JobTasks probes_;
    JobTasks tasks_;
};

} // namespace scrivel
