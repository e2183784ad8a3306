#include "ScrivelApp/Gtk/AppDelegate.hpp"

#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

#include <gtk/gtk.h>

namespace scrivel {

namespace {

constexpr const char* supportURL = "https://scrivel.app/support";
constexpr const char* privacyURL = "https://scrivel.app/privacy";
constexpr const char* shippedPage = "scrivel://app/index.html";
constexpr int defaultWidth = 1280;
constexpr int defaultHeight = 800;
constexpr int minimumWidth = 900;
constexpr int minimumHeight = 620;

AppDelegate* delegateOf(gpointer data) { return static_cast<AppDelegate*>(data); }

void addItem(GMenu* menu, const char* label, const char* action, const char* accelShown = nullptr) {
    auto item = GObjectPtr<GMenuItem>::adopt(g_menu_item_new(label, action));
    // Shown only; the key itself reaches the page's field, which acts on it.
    if (accelShown) g_menu_item_set_attribute(item.get(), "accel", "s", accelShown);
    g_menu_append_item(menu, item.get());
}

// The menus being built, released together once the bar holds them.
struct MenuSet {
    std::vector<GObjectPtr<GMenu>> menus;
    GMenu* make() { return menus.emplace_back(GObjectPtr<GMenu>::adopt(g_menu_new())).get(); }
};

} // namespace

AppDelegate::AppDelegate(GtkApplication* application) : application_(application) {}

AppDelegate::~AppDelegate() {
    bridge_.reset();
    if (window_) gtk_window_destroy(window_);
}

std::filesystem::path AppDelegate::pageFolder() {
    if (const char* folder = std::getenv("SCRIVEL_WEB_DIR"); folder && *folder) return folder;
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path installed = executable.parent_path().parent_path() / "share" / "scrivel" / "web";
        if (std::filesystem::exists(installed / "index.html", error)) return installed;
    }
    return SCRIVEL_SOURCE_WEB_DIR;
}

NativeBridge& AppDelegate::bridge() {
    if (!bridge_) {
        bridge_ = std::make_unique<NativeBridge>(player_, dragView_, panels_, workspace_, executor_);
        if (page_) bridge_->setPageView(page_);
    }
    return *bridge_;
}

void AppDelegate::pageAction(const char* editingCommand) {
    if (page_) page_->editingCommand(editingCommand);
}

void AppDelegate::installMenus() {
    struct Action {
        const char* name;
        void (*run)(AppDelegate&);
    };
    static const Action actions[] = {
        {"about",
         [](AppDelegate& d) {
             gtk_show_about_dialog(d.window_, "program-name", "Scrivel", "version", SCRIVEL_VERSION, "comments",
                                   "Redacts text in screen recordings.", "logo-icon-name", "app.scrivel.Scrivel",
                                   nullptr);
         }},
        {"quit", [](AppDelegate& d) { d.quitAfterAsking(); }},
        {"open-video", [](AppDelegate& d) { d.bridge().emitCommand(MenuCommand::open); }},
        {"scan-video", [](AppDelegate& d) { d.bridge().emitCommand(MenuCommand::scan); }},
        {"export-video", [](AppDelegate& d) { d.bridge().emitCommand(MenuCommand::exportVideo); }},
        {"open-review", [](AppDelegate& d) { d.bridge().emitCommand(MenuCommand::openReview); }},
        {"save-review", [](AppDelegate& d) { d.bridge().emitCommand(MenuCommand::saveReview); }},
        {"close",
         [](AppDelegate& d) {
             if (GtkWindow* window = gtk_application_get_active_window(d.application_)) gtk_window_close(window);
         }},
        {"undo", [](AppDelegate& d) { d.pageAction("Undo"); }},
        {"redo", [](AppDelegate& d) { d.pageAction("Redo"); }},
        {"cut", [](AppDelegate& d) { d.pageAction("Cut"); }},
        {"copy", [](AppDelegate& d) { d.pageAction("Copy"); }},
        {"paste", [](AppDelegate& d) { d.pageAction("Paste"); }},
        {"select-all", [](AppDelegate& d) { d.pageAction("SelectAll"); }},
        {"support", [](AppDelegate& d) { d.workspace_.openURL(supportURL); }},
        {"privacy", [](AppDelegate& d) { d.workspace_.openURL(privacyURL); }},
    };
    for (const Action& action : actions) {
        auto simple = GObjectPtr<GSimpleAction>::adopt(g_simple_action_new(action.name, nullptr));
        g_object_set_data(G_OBJECT(simple.get()), "scrivel-run", reinterpret_cast<gpointer>(action.run));
        g_signal_connect(simple.get(), "activate", G_CALLBACK(+[](GSimpleAction* self, GVariant*, gpointer data) {
                             auto run = reinterpret_cast<void (*)(AppDelegate&)>(
                                 g_object_get_data(G_OBJECT(self), "scrivel-run"));
                             run(*delegateOf(data));
                         }),
                         this);
        g_action_map_add_action(G_ACTION_MAP(application_), G_ACTION(simple.get()));
    }
    const struct {
        const char* action;
        const char* key;
    } keys[] = {
        {"app.quit", "<Control>q"},       {"app.open-video", "<Control>o"}, {"app.scan-video", "<Control>r"},
        {"app.export-video", "<Control>e"}, {"app.close", "<Control>w"},
        {"app.save-review", "<Control>s"}, {"app.open-review", "<Shift><Control>o"},
    };
    for (const auto& key : keys) {
        const char* accels[] = {key.key, nullptr};
        gtk_application_set_accels_for_action(application_, key.action, accels);
    }

    MenuSet owned;
    GMenu* bar = owned.make();

    GMenu* application = owned.make();
    GMenu* about = owned.make();
    addItem(about, "About Scrivel", "app.about");
    GMenu* quit = owned.make();
    addItem(quit, "Quit Scrivel", "app.quit");
    g_menu_append_section(application, nullptr, G_MENU_MODEL(about));
    g_menu_append_section(application, nullptr, G_MENU_MODEL(quit));
    g_menu_append_submenu(bar, "Scrivel", G_MENU_MODEL(application));

    GMenu* file = owned.make();
    GMenu* fileItems = owned.make();
    addItem(fileItems, "Open Video…", "app.open-video");
    addItem(fileItems, "Scan Video", "app.scan-video");
    addItem(fileItems, "Export…", "app.export-video");
    GMenu* reviewItems = owned.make();
    addItem(reviewItems, "Open Review…", "app.open-review");
    addItem(reviewItems, "Save Review…", "app.save-review");
    GMenu* close = owned.make();
    addItem(close, "Close", "app.close");
    g_menu_append_section(file, nullptr, G_MENU_MODEL(fileItems));
    g_menu_append_section(file, nullptr, G_MENU_MODEL(reviewItems));
    g_menu_append_section(file, nullptr, G_MENU_MODEL(close));
    g_menu_append_submenu(bar, "File", G_MENU_MODEL(file));

    GMenu* edit = owned.make();
    addItem(edit, "Undo", "app.undo", "<Control>z");
    addItem(edit, "Redo", "app.redo", "<Shift><Control>z");
    addItem(edit, "Cut", "app.cut", "<Control>x");
    addItem(edit, "Copy", "app.copy", "<Control>c");
    addItem(edit, "Paste", "app.paste", "<Control>v");
    addItem(edit, "Select All", "app.select-all", "<Control>a");
    g_menu_append_submenu(bar, "Edit", G_MENU_MODEL(edit));

    GMenu* help = owned.make();
    addItem(help, "Scrivel Support", "app.support");
    addItem(help, "Privacy Policy", "app.privacy");
    g_menu_append_submenu(bar, "Help", G_MENU_MODEL(help));

    gtk_application_set_menubar(application_, G_MENU_MODEL(bar));
}

void AppDelegate::launch() {
    if (window_) {
        gtk_window_present(window_);
        return;
    }
    installMenus();

    page_ = std::make_shared<WebPage>(pageFolder(), WebPage::Handlers{
        [this](std::string_view body) { bridge().receiveScriptMessage(NativeBridge::handlerName, true, body); },
        [this](const NavigationAction& action) { return bridge().decideNavigation(action); },
    });
    bridge().setPageView(page_);
    // The page's answer to "close" when the user lets an unsaved review go.
    bridge().setQuitHandler([this] { requestQuit(); });

    content_ = std::make_unique<DropAwareView>(page_->widget());
    content_->onFileDrop = [this](const std::filesystem::path& file) { bridge().handleDroppedFile(file); };
    content_->place(player_.widget(), &player_.frame());
    content_->place(dragView_.widget(), &dragView_.frame());

    GtkWidget* window = gtk_application_window_new(application_);
    window_ = GTK_WINDOW(window);
    gtk_window_set_title(window_, "Scrivel");
    gtk_window_set_icon_name(window_, "app.scrivel.Scrivel");
    gtk_window_set_default_size(window_, defaultWidth, defaultHeight);
    gtk_widget_set_size_request(window, minimumWidth, minimumHeight);
    // No title bar of our own: the page draws its title area under the drag strip.
    GtkWidget* noTitleBar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_widget_set_visible(noTitleBar, FALSE);
    gtk_window_set_titlebar(window_, noTitleBar);
    gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(window), TRUE);
    gtk_window_set_child(window_, content_->widget());
    panels_.setParent(window_);

    g_signal_connect(window, "close-request", G_CALLBACK(+[](GtkWindow*, gpointer data) -> gboolean {
                         delegateOf(data)->quitAfterAsking();
                         return TRUE; // the quit closes it, once the bridge has stopped
                     }),
                     this);
    gtk_window_present(window_);

    const char* devURL = std::getenv("SCRIVEL_WEB_DEV_URL");
    if (devURL && g_uri_is_valid(devURL, G_URI_FLAGS_NONE, nullptr)) {
        page_->load(devURL);
    } else {
        page_->load(shippedPage);
    }
}

void AppDelegate::open(const std::vector<std::filesystem::path>& files) {
    launch();
    if (!files.empty()) bridge().handleDroppedFile(files.front());
}

void AppDelegate::quitAfterAsking() {
    if (terminating_ || bridge().holdQuitForUnsavedReview()) return;
    requestQuit();
}

void AppDelegate::requestQuit() {
    if (terminating_) return;
    terminating_ = true;
    bridge().shutdown([this] { g_application_quit(G_APPLICATION(application_)); });
}

} // namespace scrivel
