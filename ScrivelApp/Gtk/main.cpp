#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include <glib-unix.h>
#include <gst/gst.h>
#include <gtk/gtk.h>

#include "ScrivelApp/Gtk/AppDelegate.hpp"
#include "recognition/OcrEngine.hpp"

namespace {

// WebKit's DMA-BUF renderer shows a blank window with NVIDIA's driver on some
// set-ups; unless the user chose, use the older path there.
void avoidBlankRenderer() {
    if (std::getenv("WEBKIT_DISABLE_DMABUF_RENDERER")) return;
    std::error_code error;
    if (std::filesystem::exists("/proc/driver/nvidia/version", error)) {
        setenv("WEBKIT_DISABLE_DMABUF_RENDERER", "1", 0);
    }
}

} // namespace

int main(int argc, char** argv) {
    scrivel::OcrEngine::settleOpenCvThreads(); // before any thread of ours uses OpenCV
    avoidBlankRenderer();
    gst_init(&argc, &argv);
    gtk_init();

    GtkApplication* application = gtk_application_new("app.scrivel.Scrivel", G_APPLICATION_HANDLES_OPEN);
    auto delegate = std::make_unique<scrivel::AppDelegate>(application);

    g_signal_connect(application, "activate", G_CALLBACK(+[](GApplication*, gpointer data) {
                         static_cast<scrivel::AppDelegate*>(data)->launch();
                     }),
                     delegate.get());
    g_signal_connect(application, "open",
                     G_CALLBACK(+[](GApplication*, GFile** files, gint count, const gchar*, gpointer data) {
                         std::vector<std::filesystem::path> paths;
                         for (gint i = 0; i < count; ++i) {
                             if (char* path = g_file_get_path(files[i])) {
                                 paths.emplace_back(path);
                                 g_free(path);
                             }
                         }
                         static_cast<scrivel::AppDelegate*>(data)->open(paths);
                     }),
                     delegate.get());
    // A terminal's Ctrl-C or a session's TERM takes the same careful quit.
    for (int signal : {SIGINT, SIGTERM}) {
        g_unix_signal_add(signal, +[](gpointer data) -> gboolean {
            static_cast<scrivel::AppDelegate*>(data)->requestQuit();
            return G_SOURCE_CONTINUE;
        }, delegate.get());
    }

    const int status = g_application_run(G_APPLICATION(application), argc, argv);
    delegate.reset();
    g_object_unref(application);
    return status;
}
