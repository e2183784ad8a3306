#pragma once

#include <memory>

#include "ScrivelApp/BridgeHost.hpp"

typedef struct _GtkWidget GtkWidget;

namespace scrivel {

// The native video view over the page's preview area: plays the selected
// video with sound (GStreamer playbin, video through an app sink), draws every
// shown frame through the export's VideoComposition so the preview shows what
// the exported file will, and handles zoom, pan, track picking and drawing
// manual masks.
//
// Threads: everything here is main-thread only, except that the app sink's
// streaming thread leaves the newest decoded sample in a locked slot and asks
// the main loop to pick it up.
class PreviewPlayer final : public PreviewPlayerControl {
public:
    PreviewPlayer();
    ~PreviewPlayer() override;
    PreviewPlayer(const PreviewPlayer&) = delete;
    PreviewPlayer& operator=(const PreviewPlayer&) = delete;

    // The view, hidden until the page shows it; owned by the player.
    GtkWidget* widget() const;
    // Where the page placed the view, in the content area's points.
    const ViewRect& frame() const;

    void setFrame(const ViewRect& frame) override;
    void setHidden(bool hidden) override;
    void setEventSink(PlayerEventSink* sink) override;
    void load(const std::filesystem::path& url, const VideoInfo& info) override;
    void setScanResult(const ScanResult& result) override;
    void setPreview(bool enabled, bool showRegions, const RenderSettings& settings) override;
    void setDrawing(bool enabled) override;
    void togglePlayback() override;
    void resetViewport() override;
    void seek(double seconds) override;
    std::optional<VideoInfo> loadedVideo() const override;
    void shutdown() override;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace scrivel
