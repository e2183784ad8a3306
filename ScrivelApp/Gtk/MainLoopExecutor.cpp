#include "ScrivelApp/Gtk/MainLoopExecutor.hpp"

#include <glib.h>

namespace scrivel {

void MainLoopExecutor::post(std::function<void()> task) {
    using Task = std::function<void()>;
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            // No exception may cross into GLib; a task that throws has a bug.
            try {
                (*static_cast<Task*>(data))();
            } catch (const std::exception& error) {
                g_critical("main-thread task failed: %s", error.what());
            }
            return G_SOURCE_REMOVE;
        },
        new Task(std::move(task)), [](gpointer data) { delete static_cast<Task*>(data); });
}

} // namespace scrivel
