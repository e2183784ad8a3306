#include "ScrivelApp/Gtk/DropAwareView.hpp"

#include <algorithm>
#include <cmath>

#include <gtk/gtk.h>

#include "ScrivelApp/DroppedFiles.hpp"

namespace scrivel {

namespace {

std::vector<std::filesystem::path> localPaths(const GValue* value) {
    std::vector<std::filesystem::path> paths;
    if (!value || !G_VALUE_HOLDS(value, GDK_TYPE_FILE_LIST)) return paths;
    auto* files = static_cast<GdkFileList*>(g_value_get_boxed(value));
    GSList* list = files ? gdk_file_list_get_files(files) : nullptr;
    for (GSList* item = list; item; item = item->next) {
        if (char* path = g_file_get_path(G_FILE(item->data))) {
            paths.emplace_back(path);
            g_free(path);
        }
    }
    g_slist_free(list);
    return paths;
}

int rounded(double value) { return int(std::lround(value)); }

} // namespace

DropAwareView::DropAwareView(GtkWidget* page) {
    overlay_ = GObjectPtr<GtkWidget>::retain(gtk_overlay_new());
    gtk_overlay_set_child(GTK_OVERLAY(overlay_.get()), page);
    gtk_widget_set_hexpand(page, TRUE);
    gtk_widget_set_vexpand(page, TRUE);

    g_signal_connect(overlay_.get(), "get-child-position",
                     G_CALLBACK(+[](GtkOverlay*, GtkWidget* child, GdkRectangle* allocation, gpointer data) -> gboolean {
                         auto* self = static_cast<DropAwareView*>(data);
                         const auto found = std::find_if(self->placed_.begin(), self->placed_.end(),
                                                         [child](const Placed& p) { return p.child == child; });
                         if (found == self->placed_.end()) return FALSE;
                         const ViewRect& frame = *found->frame;
                         allocation->x = rounded(frame.x);
                         allocation->y = rounded(frame.y);
                         allocation->width = std::max(0, rounded(frame.width));
                         allocation->height = std::max(0, rounded(frame.height));
                         return TRUE;
                     }),
                     this);

    // Capture phase: the page's own drop handling never sees the files.
    GtkDropTarget* target = gtk_drop_target_new(GDK_TYPE_FILE_LIST, GDK_ACTION_COPY);
    gtk_drop_target_set_preload(target, TRUE);
    gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(target), GTK_PHASE_CAPTURE);
    const auto offer = +[](GtkDropTarget* target, double, double, gpointer) -> GdkDragAction {
        const GValue* value = gtk_drop_target_get_value(target);
        // Until the list has arrived, offer a copy; the drop itself decides.
        if (!value) return GDK_ACTION_COPY;
        return DroppedFiles::firstSupportedVideo(localPaths(value)) ? GDK_ACTION_COPY : GdkDragAction(0);
    };
    g_signal_connect(target, "enter", G_CALLBACK(offer), this);
    g_signal_connect(target, "motion", G_CALLBACK(offer), this);
    g_signal_connect(target, "drop", G_CALLBACK(+[](GtkDropTarget*, const GValue* value, double, double,
                                                    gpointer data) -> gboolean {
                         auto* self = static_cast<DropAwareView*>(data);
                         const auto video = DroppedFiles::firstSupportedVideo(localPaths(value));
                         if (!video) return FALSE;
                         if (self->onFileDrop) self->onFileDrop(*video);
                         return TRUE;
                     }),
                     this);
    gtk_widget_add_controller(overlay_.get(), GTK_EVENT_CONTROLLER(target));
}

void DropAwareView::place(GtkWidget* child, const ViewRect* frame) {
    placed_.push_back(Placed{child, frame});
    gtk_overlay_add_overlay(GTK_OVERLAY(overlay_.get()), child);
}

} // namespace scrivel
