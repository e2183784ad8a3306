#include "ScrivelApp/Gtk/PreviewPlayer.hpp"

#include <cmath>
#include <mutex>
#include <utility>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtk/gtk.h>

#include "ScrivelApp/Gtk/GObjectPtr.hpp"
#include "ScrivelApp/ManualMaskGeometry.hpp"
#include "ScrivelApp/PlayerViewGeometry.hpp"
#include "ScrivelCore/DetectionTimeline.hpp"
#include "render/VideoComposition.hpp"

// A plain widget whose drawing is the player's: GTK calls snapshot, the
// player decides what to show.
struct ScrivelPlayerView {
    GtkWidget parent_instance;
    scrivel::PreviewPlayer::Impl* impl;
};
struct ScrivelPlayerViewClass {
    GtkWidgetClass parent_class;
};
G_DEFINE_TYPE(ScrivelPlayerView, scrivel_player_view, GTK_TYPE_WIDGET)

namespace scrivel {

namespace {

constexpr double statePublishIntervalSeconds = 0.1;
// Near the end, play starts over instead of stopping at once.
constexpr double restartMarginSeconds = 0.1;
// A wheel notch pans by this many points (touchpads report points already).
constexpr double pointsPerWheelStep = 20;
const GdkRGBA rubberBandStroke{175 / 255.0f, 82 / 255.0f, 222 / 255.0f, 1.0f};
const GdkRGBA rubberBandFill{175 / 255.0f, 82 / 255.0f, 222 / 255.0f, 0.2f};
const GdkRGBA black{0, 0, 0, 1};

// The newest decoded sample, handed from the streaming thread to the main thread.
struct FrameSlot {
    std::mutex lock;
    GstSample* sample = nullptr; // guarded by lock
    bool pickupScheduled = false; // guarded by lock
};

struct SampleDeleter {
    void operator()(GstSample* sample) const { gst_sample_unref(sample); }
};
using SamplePtr = std::unique_ptr<GstSample, SampleDeleter>;

} // namespace

struct PreviewPlayer::Impl : std::enable_shared_from_this<PreviewPlayer::Impl> {
    // All main thread only, except `slot`.
    GObjectPtr<GtkWidget> view;
    GObjectPtr<GstElement> playbin;
    guint busWatch = 0;
    guint stateTimer = 0;
    std::shared_ptr<FrameSlot> slot = std::make_shared<FrameSlot>();

    ViewRect frame;
    PlayerEventSink* sink = nullptr;

    std::optional<VideoInfo> video;
    std::shared_ptr<const ScanResult> result;
    std::unique_ptr<DetectionTimeline> timeline;
    RenderSettings renderSettings = startingRenderSettings();
    bool previewEnabled = true;
    bool showRegions = false;
    std::optional<VideoComposition::FrameHandler> composition;

    bool drawing = false;
    std::optional<ViewPoint> drawingStart;
    PlayerRect rubberBand;
    Viewport viewport;
    double pinchScale = 1;

    bool playing = false;
    bool errorReported = false;
    Image lastFrame; // as decoded, before masks
    double lastFrameSeconds = 0;
    GObjectPtr<GdkTexture> texture;

    void build();
    void teardown();

    // Geometry of the view right now.
    PlayerRect bounds() const {
        return PlayerRect{0, 0, double(gtk_widget_get_width(view.get())), double(gtk_widget_get_height(view.get()))};
    }
    PlayerRect videoRect() {
        if (!video) return {};
        return PlayerViewGeometry::aspectFit(PlayerViewGeometry::layout(viewport, bounds()), double(video->width),
                                             double(video->height));
    }

    double currentSeconds() const {
        gint64 position = 0;
        if (playbin && gst_element_query_position(playbin.get(), GST_FORMAT_TIME, &position) && position >= 0) {
            return double(position) / GST_SECOND;
        }
        return std::isfinite(lastFrameSeconds) ? lastFrameSeconds : 0;
    }

    void publishState() {
        if (!video || !sink) return;
        const double seconds = currentSeconds();
        sink->playerStateChanged(PlayerState{video->id, std::isfinite(seconds) ? seconds : 0, playing});
    }

    void setPlaying(bool on) {
        if (!playbin) return;
        if (video) gst_element_set_state(playbin.get(), on ? GST_STATE_PLAYING : GST_STATE_PAUSED);
        const bool changed = playing != on;
        playing = on && video.has_value();
        if (changed) publishState();
    }

    void seekTo(double seconds) {
        if (!playbin || !video || !std::isfinite(seconds)) return;
        gst_element_seek_simple(playbin.get(), GST_FORMAT_TIME,
                                GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
                                gint64(std::max(seconds, 0.0) * GST_SECOND));
    }

    void leaveDrawing() {
        drawing = false;
        drawingStart.reset();
        rubberBand = {};
        gtk_widget_set_cursor(view.get(), nullptr);
        gtk_widget_queue_draw(view.get());
    }

    void relayout() { gtk_widget_queue_draw(view.get()); }

    void updateComposition() {
        if (!video) return;
        if (previewEnabled && result) {
            composition.emplace(VideoComposition::make(*result, renderSettings, showRegions));
        } else {
            composition.reset();
        }
        // A paused picture is redrawn at once with the new masks.
        if (!playing) showFrame();
    }

    // Draws the masks over the last decoded frame and shows it.
    void showFrame() {
        if (lastFrame.empty()) return;
        auto shown = std::make_unique<cv::Mat>();
        if (composition) {
            Image copy = lastFrame.clone();
            (*composition)(copy, lastFrameSeconds);
            *shown = copy.pixels;
        } else {
            *shown = lastFrame.pixels;
        }
        const cv::Mat* pixels = shown.get();
        GBytes* bytes = g_bytes_new_with_free_func(
            pixels->data, pixels->step[0] * std::size_t(pixels->rows),
            [](gpointer mat) { delete static_cast<cv::Mat*>(mat); }, shown.release());
        texture = GObjectPtr<GdkTexture>::adopt(
            gdk_memory_texture_new(pixels->cols, pixels->rows, GDK_MEMORY_B8G8R8, bytes, pixels->step[0]));
        g_bytes_unref(bytes);
        gtk_widget_queue_draw(view.get());
    }

    // Main thread: takes the newest sample from the slot and shows it.
    void pickUpFrame() {
        SamplePtr sample;
        {
            std::lock_guard guard(slot->lock);
            sample.reset(std::exchange(slot->sample, nullptr));
            slot->pickupScheduled = false;
        }
        if (!sample || !video) return;
        GstVideoInfo info;
        GstCaps* caps = gst_sample_get_caps(sample.get());
        GstBuffer* buffer = gst_sample_get_buffer(sample.get());
        if (!caps || !buffer || !gst_video_info_from_caps(&info, caps)) return;
        GstMapInfo map;
        if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return;
        const cv::Mat wrapped(GST_VIDEO_INFO_HEIGHT(&info), GST_VIDEO_INFO_WIDTH(&info), CV_8UC3, map.data,
                              std::size_t(GST_VIDEO_INFO_PLANE_STRIDE(&info, 0)));
        lastFrame = Image(wrapped.clone());
        gst_buffer_unmap(buffer, &map);

        const GstSegment* segment = gst_sample_get_segment(sample.get());
        const GstClockTime pts = GST_BUFFER_PTS(buffer);
        guint64 streamTime = GST_CLOCK_TIME_NONE;
        if (GST_CLOCK_TIME_IS_VALID(pts)) {
            streamTime = segment ? gst_segment_to_stream_time(segment, GST_FORMAT_TIME, pts) : pts;
        }
        lastFrameSeconds = GST_CLOCK_TIME_IS_VALID(streamTime) ? double(streamTime) / GST_SECOND : 0;
        showFrame();
    }

    void handleBusMessage(GstMessage* message) {
        switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_ERROR: {
            GError* error = nullptr;
            gst_message_parse_error(message, &error, nullptr);
            std::string text = error && error->message && *error->message ? error->message
                                                                            : "The video could not be played.";
            if (error) g_error_free(error);
            playing = false;
            // One report per loaded video; a replaced one's late failure is not news.
            if (video && !errorReported && sink) {
                errorReported = true;
                sink->playerFailed(text);
            }
            break;
        }
        case GST_MESSAGE_ASYNC_DONE:
            // A load's first picture or a seek has landed: the time jumped.
            publishState();
            break;
        case GST_MESSAGE_EOS:
            if (playing) {
                gst_element_set_state(playbin.get(), GST_STATE_PAUSED);
                playing = false;
                publishState();
            }
            break;
        default:
            break;
        }
    }

    void snapshot(GtkSnapshot* snapshot) {
        const PlayerRect area = bounds();
        const graphene_rect_t whole = GRAPHENE_RECT_INIT(0, 0, float(area.width), float(area.height));
        gtk_snapshot_append_color(snapshot, &black, &whole);
        if (texture) {
            const PlayerRect layer = PlayerViewGeometry::layout(viewport, area);
            const PlayerRect picture =
                PlayerViewGeometry::aspectFit(layer, gdk_texture_get_width(texture.get()),
                                              gdk_texture_get_height(texture.get()));
            gtk_snapshot_push_clip(snapshot, &whole);
            const graphene_rect_t target = GRAPHENE_RECT_INIT(float(picture.x), float(picture.y),
                                                              float(picture.width), float(picture.height));
            gtk_snapshot_append_texture(snapshot, texture.get(), &target);
            gtk_snapshot_pop(snapshot);
        }
        if (!rubberBand.isEmpty()) {
            const graphene_rect_t band = GRAPHENE_RECT_INIT(float(rubberBand.x), float(rubberBand.y),
                                                            float(rubberBand.width), float(rubberBand.height));
            gtk_snapshot_append_color(snapshot, &rubberBandFill, &band);
            GskRoundedRect outline;
            gsk_rounded_rect_init_from_rect(&outline, &band, 0);
            const float widths[4] = {2, 2, 2, 2};
            const GdkRGBA colors[4] = {rubberBandStroke, rubberBandStroke, rubberBandStroke, rubberBandStroke};
            gtk_snapshot_append_border(snapshot, &outline, widths, colors);
        }
    }

    // Input.
    void dragBegan(double x, double y) {
        if (!drawing) return;
        const ViewPoint start{x, y};
        if (videoRect().contains(start)) drawingStart = start;
    }
    void dragMoved(double dx, double dy) {
        if (!drawing || !drawingStart) return;
        const ViewPoint current{drawingStart->x + dx, drawingStart->y + dy};
        rubberBand = intersect(spanning(*drawingStart, current), videoRect());
        gtk_widget_queue_draw(view.get());
    }
    void dragEnded(double dx, double dy) {
        if (!drawing || !drawingStart || !video) return;
        const ViewPoint current{drawingStart->x + dx, drawingStart->y + dy};
        const std::optional<NormalizedRect> rect = ManualMaskGeometry::rect(*drawingStart, current, videoRect());
        if (!rect) {
            drawingStart.reset();
            rubberBand = {};
            gtk_widget_queue_draw(view.get());
            return;
        }
        const std::string id = video->id;
        leaveDrawing();
        if (sink) {
            sink->playerManualMaskDrawn(id, *rect);
            sink->playerDrawingEnded(id);
        }
    }
    void pressed(int clicks, double x, double y) {
        if (drawing) return;
        if (clicks == 2) {
            viewport = Viewport{};
            relayout();
            return;
        }
        if (!(previewEnabled && showRegions && video && timeline)) return;
        const auto& regions = timeline->regions(currentSeconds());
        const std::optional<std::int64_t> track = PlayerViewGeometry::hitTrack(
            regions, ViewPoint{x, y}, videoRect(), double(video->width), double(video->height), renderSettings);
        setPlaying(false);
        if (sink) sink->playerRegionSelected(RegionSelection{video->id, track});
    }
    bool scrolled(double dx, double dy, bool wheelSteps) {
        if (drawing) return false;
        const double scale = wheelSteps ? pointsPerWheelStep : 1;
        if (!PlayerViewGeometry::scroll(viewport, dx * scale, dy * scale)) return false;
        relayout();
        return true;
    }
    void pinched(double scale, ViewPoint center) {
        if (drawing || !(pinchScale > 0)) return;
        const double magnification = scale / pinchScale - 1;
        pinchScale = scale;
        PlayerViewGeometry::pinch(viewport, magnification, center, bounds());
        relayout();
    }
    bool keyPressed(guint key) {
        if (key != GDK_KEY_Escape || !drawing) return false;
        leaveDrawing();
        if (video && sink) sink->playerDrawingEnded(video->id);
        return true;
    }
};

} // namespace scrivel

static void scrivel_player_view_snapshot(GtkWidget* widget, GtkSnapshot* snapshot) {
    auto* self = reinterpret_cast<ScrivelPlayerView*>(widget);
    if (self->impl) self->impl->snapshot(snapshot);
}

static void scrivel_player_view_class_init(ScrivelPlayerViewClass* klass) {
    GTK_WIDGET_CLASS(klass)->snapshot = scrivel_player_view_snapshot;
}

static void scrivel_player_view_init(ScrivelPlayerView* self) { self->impl = nullptr; }

namespace scrivel {

namespace {

using Impl = PreviewPlayer::Impl;

Impl* implOf(gpointer data) { return static_cast<Impl*>(data); }

// Streaming thread: keep the newest sample, schedule one pickup.
void deliverSample(GstSample* sample, FrameSlot& slot, const std::shared_ptr<Impl>& owner) {
    bool schedule = false;
    {
        std::lock_guard guard(slot.lock);
        if (slot.sample) gst_sample_unref(slot.sample);
        slot.sample = sample;
        schedule = !std::exchange(slot.pickupScheduled, true);
    }
    if (!schedule) return;
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            if (auto impl = static_cast<std::weak_ptr<Impl>*>(data)->lock()) impl->pickUpFrame();
            return G_SOURCE_REMOVE;
        },
        new std::weak_ptr<Impl>(owner), [](gpointer data) { delete static_cast<std::weak_ptr<Impl>*>(data); });
}

// What the app sink's callbacks reach: the slot and a weak way back.
struct SinkContext {
    std::shared_ptr<FrameSlot> slot;
    std::weak_ptr<Impl> owner;
};

GstFlowReturn onPreroll(GstAppSink* sink, gpointer data) {
    auto* context = static_cast<SinkContext*>(data);
    if (GstSample* sample = gst_app_sink_pull_preroll(sink)) {
        if (auto owner = context->owner.lock()) deliverSample(sample, *context->slot, owner);
        else gst_sample_unref(sample);
    }
    return GST_FLOW_OK;
}

GstFlowReturn onSample(GstAppSink* sink, gpointer data) {
    auto* context = static_cast<SinkContext*>(data);
    if (GstSample* sample = gst_app_sink_pull_sample(sink)) {
        if (auto owner = context->owner.lock()) deliverSample(sample, *context->slot, owner);
        else gst_sample_unref(sample);
    }
    return GST_FLOW_OK;
}

} // namespace

void Impl::build() {
    view = GObjectPtr<GtkWidget>::retain(GTK_WIDGET(g_object_new(scrivel_player_view_get_type(), nullptr)));
    reinterpret_cast<ScrivelPlayerView*>(view.get())->impl = this;
    gtk_widget_set_focusable(view.get(), TRUE);
    gtk_widget_set_overflow(view.get(), GTK_OVERFLOW_HIDDEN);
    gtk_widget_set_visible(view.get(), FALSE);

    GtkGesture* drag = gtk_gesture_drag_new();
    g_signal_connect(drag, "drag-begin", G_CALLBACK(+[](GtkGestureDrag*, double x, double y, gpointer data) {
                         implOf(data)->dragBegan(x, y);
                     }), this);
    g_signal_connect(drag, "drag-update", G_CALLBACK(+[](GtkGestureDrag*, double dx, double dy, gpointer data) {
                         implOf(data)->dragMoved(dx, dy);
                     }), this);
    g_signal_connect(drag, "drag-end", G_CALLBACK(+[](GtkGestureDrag*, double dx, double dy, gpointer data) {
                         implOf(data)->dragEnded(dx, dy);
                     }), this);
    gtk_widget_add_controller(view.get(), GTK_EVENT_CONTROLLER(drag));

    GtkGesture* click = gtk_gesture_click_new();
    g_signal_connect(click, "pressed", G_CALLBACK(+[](GtkGestureClick*, int clicks, double x, double y, gpointer data) {
                         implOf(data)->pressed(clicks, x, y);
                     }), this);
    gtk_widget_add_controller(view.get(), GTK_EVENT_CONTROLLER(click));

    GtkEventController* scroll = gtk_event_controller_scroll_new(GTK_EVENT_CONTROLLER_SCROLL_BOTH_AXES);
    g_signal_connect(scroll, "scroll", G_CALLBACK(+[](GtkEventControllerScroll* controller, double dx, double dy,
                                                      gpointer data) -> gboolean {
                         const bool wheel = gtk_event_controller_scroll_get_unit(controller) == GDK_SCROLL_UNIT_WHEEL;
                         return implOf(data)->scrolled(dx, dy, wheel);
                     }), this);
    gtk_widget_add_controller(view.get(), scroll);

    GtkGesture* zoom = gtk_gesture_zoom_new();
    g_signal_connect(zoom, "begin", G_CALLBACK(+[](GtkGesture*, GdkEventSequence*, gpointer data) {
                         implOf(data)->pinchScale = 1;
                     }), this);
    g_signal_connect(zoom, "scale-changed", G_CALLBACK(+[](GtkGestureZoom* gesture, double scale, gpointer data) {
                         double x = 0;
                         double y = 0;
                         gtk_gesture_get_bounding_box_center(GTK_GESTURE(gesture), &x, &y);
                         implOf(data)->pinched(scale, ViewPoint{x, y});
                     }), this);
    gtk_widget_add_controller(view.get(), GTK_EVENT_CONTROLLER(zoom));

    GtkEventController* keys = gtk_event_controller_key_new();
    g_signal_connect(keys, "key-pressed", G_CALLBACK(+[](GtkEventControllerKey*, guint key, guint, GdkModifierType,
                                                         gpointer data) -> gboolean {
                         return implOf(data)->keyPressed(key);
                     }), this);
    gtk_widget_add_controller(view.get(), keys);

    // The pipeline: playbin decodes and plays the sound; pictures are turned
    // upright and converted to BGR for the composition, then come to us.
    GError* error = nullptr;
    GstElement* videoSink = gst_parse_bin_from_description(
        "videoflip video-direction=auto ! videoconvert ! video/x-raw,format=BGR ! appsink name=frames sync=true "
        "max-buffers=2 drop=true enable-last-sample=false",
        TRUE, &error);
    GstElement* engine = gst_element_factory_make("playbin", "preview");
    if (!videoSink || !engine) {
        g_warning("The preview player could not be created: %s", error ? error->message : "playbin is missing");
        if (error) g_error_free(error);
        if (videoSink) gst_object_unref(videoSink);
        if (engine) gst_object_unref(engine);
        return;
    }
    playbin = GObjectPtr<GstElement>::retain(engine);
    GstElement* appsink = gst_bin_get_by_name(GST_BIN(videoSink), "frames");
    GstAppSinkCallbacks callbacks{};
    callbacks.new_preroll = onPreroll;
    callbacks.new_sample = onSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(appsink), &callbacks, new SinkContext{slot, weak_from_this()},
                               [](gpointer data) { delete static_cast<SinkContext*>(data); });
    gst_object_unref(appsink);
    g_object_set(playbin.get(), "video-sink", videoSink, nullptr);

    GstBus* bus = gst_element_get_bus(playbin.get());
    busWatch = gst_bus_add_watch(
        bus,
        [](GstBus*, GstMessage* message, gpointer data) -> gboolean {
            implOf(data)->handleBusMessage(message);
            return G_SOURCE_CONTINUE;
        },
        this);
    gst_object_unref(bus);

    stateTimer = g_timeout_add(
        guint(statePublishIntervalSeconds * 1000),
        [](gpointer data) -> gboolean {
            Impl* impl = implOf(data);
            if (impl->playing) impl->publishState();
            return G_SOURCE_CONTINUE;
        },
        this);
}

void Impl::teardown() {
    if (stateTimer) g_source_remove(std::exchange(stateTimer, 0));
    if (busWatch) g_source_remove(std::exchange(busWatch, 0));
    if (playbin) {
        // Joins the streaming threads, so no callback runs after this.
        gst_element_set_state(playbin.get(), GST_STATE_NULL);
    }
}

PreviewPlayer::PreviewPlayer() : impl_(std::make_shared<Impl>()) { impl_->build(); }

PreviewPlayer::~PreviewPlayer() {
    impl_->teardown();
    impl_->playbin.reset();
    {
        std::lock_guard guard(impl_->slot->lock);
        if (impl_->slot->sample) gst_sample_unref(std::exchange(impl_->slot->sample, nullptr));
    }
    reinterpret_cast<ScrivelPlayerView*>(impl_->view.get())->impl = nullptr;
}

GtkWidget* PreviewPlayer::widget() const { return impl_->view.get(); }

const ViewRect& PreviewPlayer::frame() const { return impl_->frame; }

void PreviewPlayer::setFrame(const ViewRect& frame) {
    if (impl_->frame == frame) return;
    impl_->frame = frame;
    if (GtkWidget* parent = gtk_widget_get_parent(impl_->view.get())) gtk_widget_queue_allocate(parent);
}

void PreviewPlayer::setHidden(bool hidden) { gtk_widget_set_visible(impl_->view.get(), !hidden); }

void PreviewPlayer::setEventSink(PlayerEventSink* sink) { impl_->sink = sink; }

void PreviewPlayer::load(const std::filesystem::path& url, const VideoInfo& info) {
    Impl& p = *impl_;
    p.setPlaying(false);
    p.leaveDrawing();
    p.viewport = Viewport{};
    p.video = info;
    p.renderSettings.manualMasks.clear();
    p.renderSettings.excludedTrackIDs.clear();
    p.result.reset();
    p.timeline.reset();
    p.composition.reset();
    p.errorReported = false;
    p.playing = false;
    p.lastFrame = Image();
    p.lastFrameSeconds = 0;
    p.texture.reset();
    gtk_widget_queue_draw(p.view.get());
    if (p.playbin) {
        gst_element_set_state(p.playbin.get(), GST_STATE_NULL);
        {
            std::lock_guard guard(p.slot->lock);
            if (p.slot->sample) gst_sample_unref(std::exchange(p.slot->sample, nullptr));
        }
        GError* error = nullptr;
        gchar* uri = g_filename_to_uri(std::filesystem::absolute(url).c_str(), nullptr, &error);
        if (uri) {
            g_object_set(p.playbin.get(), "uri", uri, nullptr);
            g_free(uri);
            gst_element_set_state(p.playbin.get(), GST_STATE_PAUSED);
        } else {
            if (p.sink) p.sink->playerFailed(error && error->message ? error->message : "The video could not be played.");
            p.errorReported = true;
        }
        if (error) g_error_free(error);
    }
    p.publishState();
}

void PreviewPlayer::setScanResult(const ScanResult& result) {
    Impl& p = *impl_;
    p.result = std::make_shared<const ScanResult>(result);
    p.timeline = std::make_unique<DetectionTimeline>(result.samples);
    p.renderSettings.excludedTrackIDs.clear();
    p.updateComposition();
}

void PreviewPlayer::setPreview(bool enabled, bool showRegions, const RenderSettings& settings) {
    Impl& p = *impl_;
    if (p.previewEnabled == enabled && p.showRegions == showRegions && p.renderSettings == settings) return;
    p.previewEnabled = enabled;
    p.showRegions = showRegions;
    p.renderSettings = settings;
    p.updateComposition();
}

void PreviewPlayer::setDrawing(bool enabled) {
    Impl& p = *impl_;
    p.drawing = enabled;
    p.drawingStart.reset();
    p.rubberBand = {};
    if (enabled) {
        p.setPlaying(false);
        gtk_widget_grab_focus(p.view.get());
        gtk_widget_set_cursor_from_name(p.view.get(), "crosshair");
    } else {
        gtk_widget_set_cursor(p.view.get(), nullptr);
    }
    gtk_widget_queue_draw(p.view.get());
}

void PreviewPlayer::togglePlayback() {
    Impl& p = *impl_;
    if (p.playing) {
        p.setPlaying(false);
        return;
    }
    if (p.video && p.currentSeconds() >= p.video->duration - restartMarginSeconds) p.seekTo(0);
    p.setPlaying(true);
}

void PreviewPlayer::resetViewport() {
    impl_->viewport = Viewport{};
    impl_->relayout();
}

void PreviewPlayer::seek(double seconds) { impl_->seekTo(seconds); }

std::optional<VideoInfo> PreviewPlayer::loadedVideo() const { return impl_->video; }

void PreviewPlayer::shutdown() {
    impl_->setPlaying(false);
    impl_->teardown();
}

} // namespace scrivel
