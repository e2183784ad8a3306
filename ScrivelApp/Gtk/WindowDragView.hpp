#pragma once

#include "ScrivelApp/BridgeHost.hpp"
#include "ScrivelApp/Gtk/GObjectPtr.hpp"

typedef struct _GtkWidget GtkWidget;

namespace scrivel {

// An invisible strip over the page's own title area: pressing on it and
// dragging moves the window (GTK's window handle, which also gives the
// desktop's double-click and context-menu behaviour).
class WindowDragView final : public ViewFrame {
public:
    WindowDragView();

    GtkWidget* widget() const { return handle_.get(); }
    const ViewRect& frame() const { return frame_; }

    void setFrame(const ViewRect& frame) override;
    void setHidden(bool hidden) override;

private:
    GObjectPtr<GtkWidget> handle_;
    ViewRect frame_;
};

} // namespace scrivel
