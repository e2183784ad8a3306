#pragma once

// What the bridge needs from the window toolkit, as small interfaces. The
// GTK shell implements them; tests fake them. Every call below is made on
// the main thread, and every completion callback must be called there too.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ScrivelApp/BridgeProtocol.hpp"
#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"
#include "decode/VideoInfo.hpp"

namespace scrivel {

// Hands work to the main thread. Thread-safe; tasks run in the order they
// were posted (the bridge relies on a job's progress arriving before its
// end). The GTK shell posts with g_idle_add_full at one priority.
class MainThreadExecutor {
public:
    virtual ~MainThreadExecutor() = default;
    virtual void post(std::function<void()> task) = 0;
};

// The page's web view. The bridge holds it weakly: once the shell lets go of
// its shared_ptr, page calls are dropped.
class PageView {
public:
    virtual ~PageView() = default;
    // Evaluates one line of script in the page; the result is ignored.
    virtual void evaluateScript(const std::string& script) = 0;
    // Whether the view sits in a window that panels can attach to.
    virtual bool hasWindow() const = 0;
    // Gives keyboard focus back to the page (the web view becomes its
    // window's focus widget).
    virtual void focusPage() = 0;
};

// A rectangle in points of the window's content area, origin top-left, y down.
struct ViewRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    bool operator==(const ViewRect&) const = default;
};

// A view the page positions through the bridge: the window-drag strip and the
// preview player's view.
class ViewFrame {
public:
    virtual ~ViewFrame() = default;
    virtual void setFrame(const ViewRect& frame) = 0;
    virtual void setHidden(bool hidden) = 0;
};

struct OpenPanelOptions {
    std::string title;
    // Allowed types as MIME types (a GtkFileFilter takes them as they are).
    std::vector<std::string> mimeTypes;
    bool allowsMultipleSelection = false;
    bool canChooseDirectories = false;
    // File name endings the filter also admits ("scrivel"), and its name.
    std::vector<std::string> suffixes = {};
    std::string filterName = "Videos";

    bool operator==(const OpenPanelOptions&) const = default;
};

struct SavePanelOptions {
    std::string title;
    std::vector<std::string> mimeTypes;
    bool canCreateDirectories = true;
    std::string suggestedFileName;
    std::vector<std::string> suffixes = {};
    std::string filterName = "Videos";
    // Appended to a chosen name without one of the allowed endings.
    std::string defaultExtension = ".mp4";

    bool operator==(const SavePanelOptions&) const = default;
};

// File choosers shown as sheets (modal to the page's window). `done` is
// called once on the main thread with the chosen file, or nullopt when the
// user cancelled. It may be called after the bridge is gone; it checks. A
// saved file's name ends in an allowed type's extension (".mp4" is appended
// when the user typed none).
class FilePanels {
public:
    using Completion = std::function<void(std::optional<std::filesystem::path>)>;
    virtual ~FilePanels() = default;
    virtual void showOpenPanel(const OpenPanelOptions& options, Completion done) = 0;
    virtual void showSavePanel(const SavePanelOptions& options, Completion done) = 0;
};

// The desktop around the application.
class Workspace {
public:
    virtual ~Workspace() = default;
    // Shows the file selected in the desktop's file manager.
    virtual void revealFile(const std::filesystem::path& path) = 0;
    // Opens an address in the user's default browser.
    virtual void openURL(const std::string& url) = 0;
};

// The preview player's events, delivered on the main thread. NativeBridge
// implements this and hands itself to the player in its constructor.
class PlayerEventSink {
public:
    virtual ~PlayerEventSink() = default;
    virtual void playerStateChanged(const PlayerState& state) = 0;
    virtual void playerRegionSelected(const RegionSelection& selection) = 0;
    virtual void playerManualMaskDrawn(const std::string& videoId, const NormalizedRect& rect) = 0;
    virtual void playerDrawingEnded(const std::string& videoId) = 0;
    virtual void playerFailed(const std::string& message) = 0;
};

// The preview player as the bridge drives it. Its view is positioned and
// shown through the ViewFrame half.
class PreviewPlayerControl : public ViewFrame {
public:
    // nullptr detaches; the bridge does so in its destructor.
    virtual void setEventSink(PlayerEventSink* sink) = 0;
    // Pauses, leaves drawing mode, resets the viewport, forgets the previous
    // result, manual masks and excluded tracks, and starts loading the file.
    virtual void load(const std::filesystem::path& url, const VideoInfo& info) = 0;
    virtual void setScanResult(const ScanResult& result) = 0;
    virtual void setPreview(bool enabled, bool showRegions, const RenderSettings& settings) = 0;
    // Turning drawing off this way sends no drawing-ended event.
    virtual void setDrawing(bool enabled) = 0;
    virtual void togglePlayback() = 0;
    // Zoom 1, pan zero, relayout.
    virtual void resetViewport() = 0;
    // Seeks exactly (no tolerance either side) to `seconds`.
    virtual void seek(double seconds) = 0;
    // The video loaded with load(), if any.
    virtual std::optional<VideoInfo> loadedVideo() const = 0;
    // Pauses and detaches the player's observers before the application quits.
    virtual void shutdown() = 0;
};

} // namespace scrivel
