#include "ScrivelApp/Gtk/WindowDragView.hpp"

#include <gtk/gtk.h>

namespace scrivel {

WindowDragView::WindowDragView() : handle_(GObjectPtr<GtkWidget>::retain(gtk_window_handle_new())) {}

void WindowDragView::setFrame(const ViewRect& frame) {
    if (frame_ == frame) return;
    frame_ = frame;
    if (GtkWidget* parent = gtk_widget_get_parent(handle_.get())) gtk_widget_queue_allocate(parent);
}

void WindowDragView::setHidden(bool hidden) { gtk_widget_set_visible(handle_.get(), !hidden); }

} // namespace scrivel
