#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "ScrivelApp/Gtk/DesktopWorkspace.hpp"
#include "ScrivelApp/Gtk/DropAwareView.hpp"
#include "ScrivelApp/Gtk/FileChooserPanels.hpp"
#include "ScrivelApp/Gtk/MainLoopExecutor.hpp"
#include "ScrivelApp/Gtk/PreviewPlayer.hpp"
#include "ScrivelApp/Gtk/WebPage.hpp"
#include "ScrivelApp/Gtk/WindowDragView.hpp"
#include "ScrivelApp/NativeBridge.hpp"

typedef struct _GtkApplication GtkApplication;
typedef struct _GtkWindow GtkWindow;

namespace scrivel {

// Starts the application: its one window (page, player, drag strip), the
// menus, files opened from outside, and a quit that waits for the bridge to
// stop every job. Main thread only.
class AppDelegate {
public:
    // GTK must be initialised.
    explicit AppDelegate(GtkApplication* application);
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Builds the window and loads the page, once; later calls bring it forward.
    void launch();
    // The first file goes to the bridge, which checks its type.
    void open(const std::vector<std::filesystem::path>& files);
    // Asks the bridge to shut down and quits when it has; repeats do nothing.
    void requestQuit();
    // The same, unless the page holds an unsaved review: then the page asks
    // the user first and quits through the bridge if they let it go.
    void quitAfterAsking();

    // Where the page's files are: $SCRIVEL_WEB_DIR, beside the installed
    // binary (../share/scrivel/web), or the source tree's web/.
    static std::filesystem::path pageFolder();

private:
    NativeBridge& bridge();
    void installMenus();
    void pageAction(const char* editingCommand);

    GtkApplication* application_; // not owned
    GtkWindow* window_ = nullptr;  // owned by the application
    bool terminating_ = false;

    PreviewPlayer player_;
    WindowDragView dragView_;
    FileChooserPanels panels_;
    DesktopWorkspace workspace_;
    std::shared_ptr<MainLoopExecutor> executor_ = std::make_shared<MainLoopExecutor>();
    std::shared_ptr<WebPage> page_;
    std::unique_ptr<DropAwareView> content_;
    // Created on first use; declared last so it goes before what it points to.
    std::unique_ptr<NativeBridge> bridge_;
};

} // namespace scrivel
