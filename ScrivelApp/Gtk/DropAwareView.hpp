#pragma once

#include <filesystem>
#include <functional>
#include <vector>

#include "ScrivelApp/BridgeHost.hpp"
#include "ScrivelApp/Gtk/GObjectPtr.hpp"

typedef struct _GtkWidget GtkWidget;

namespace scrivel {

// The window's content: the page filling it, and views the page places over
// it (player, drag strip), stacked in the order added. Its coordinates are the
// page's: origin top-left, y down. Files dragged onto any part of it are
// looked at before the page sees them; the first supported video is taken and
// anything else is refused.
class DropAwareView {
public:
    explicit DropAwareView(GtkWidget* page);
    DropAwareView(const DropAwareView&) = delete;
    DropAwareView& operator=(const DropAwareView&) = delete;

    GtkWidget* widget() const { return overlay_.get(); }
    // Stacks `child` above what was added before, allocated at `*frame`
    // (owned by the caller, read at every layout).
    void place(GtkWidget* child, const ViewRect* frame);

    std::function<void(const std::filesystem::path&)> onFileDrop;

private:
    struct Placed {
        GtkWidget* child;
        const ViewRect* frame;
    };
    GObjectPtr<GtkWidget> overlay_;
    std::vector<Placed> placed_;
};

} // namespace scrivel
