#include "ScrivelApp/Gtk/DesktopWorkspace.hpp"

#include <gio/gio.h>

#include "ScrivelApp/Gtk/GObjectPtr.hpp"

namespace scrivel {

namespace {

void openFolderOf(const std::string& fileUri) {
    auto file = GObjectPtr<GFile>::adopt(g_file_new_for_uri(fileUri.c_str()));
    auto parent = GObjectPtr<GFile>::adopt(g_file_get_parent(file.get()));
    if (!parent) return;
    gchar* folderUri = g_file_get_uri(parent.get());
    g_app_info_launch_default_for_uri_async(folderUri, nullptr, nullptr, nullptr, nullptr);
    g_free(folderUri);
}

} // namespace

void DesktopWorkspace::revealFile(const std::filesystem::path& path) {
    gchar* uri = g_filename_to_uri(std::filesystem::absolute(path).c_str(), nullptr, nullptr);
    if (!uri) return;
    std::string fileUri = uri;
    g_free(uri);

    auto bus = GObjectPtr<GDBusConnection>::adopt(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
    if (!bus) {
        openFolderOf(fileUri);
        return;
    }
    const gchar* uris[] = {fileUri.c_str(), nullptr};
    g_dbus_connection_call(
        bus.get(), "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1", "org.freedesktop.FileManager1",
        "ShowItems", g_variant_new("(^ass)", uris, ""), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* fileUri = static_cast<std::string*>(data);
            GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
            if (reply) g_variant_unref(reply);
            else openFolderOf(*fileUri);
            delete fileUri;
        },
        new std::string(fileUri));
}

void DesktopWorkspace::openURL(const std::string& url) {
    g_app_info_launch_default_for_uri_async(url.c_str(), nullptr, nullptr, nullptr, nullptr);
}

} // namespace scrivel
