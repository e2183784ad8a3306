#include "ScrivelApp/Gtk/FileChooserPanels.hpp"

#include <cstdlib>

#include <gtk/gtk.h>


namespace scrivel {

namespace {

using Completion = FilePanels::Completion;

void answerSoon(Completion done, std::optional<std::filesystem::path> path) {
    struct Answer {
        Completion done;
        std::optional<std::filesystem::path> path;
    };
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            auto* answer = static_cast<Answer*>(data);
            answer->done(answer->path);
            return G_SOURCE_REMOVE;
        },
        new Answer{std::move(done), std::move(path)}, [](gpointer data) { delete static_cast<Answer*>(data); });
}

GtkFileFilter* filterFor(const std::vector<std::string>& mimeTypes, const std::vector<std::string>& suffixes = {},
                         const std::string& name = "Videos") {
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, name.c_str());
    for (const std::string& type : mimeTypes) gtk_file_filter_add_mime_type(filter, type.c_str());
    for (const std::string& suffix : suffixes) gtk_file_filter_add_suffix(filter, suffix.c_str());
    return filter;
}

// Choosers for reviews answer to their own testing hook.
const char* reviewTestPath(const std::vector<std::string>& suffixes) {
    for (const std::string& suffix : suffixes)
        if (suffix == "scrivel") return std::getenv("SCRIVEL_TEST_REVIEW_PATH");
    return nullptr;
}

struct PanelRun {
    GtkFileChooserNative* chooser;
    Completion done;
    bool saving;
    std::string extension = ".mp4";
};

void run(GtkFileChooserNative* chooser, Completion done, bool saving, std::string extension = ".mp4") {
    auto* state = new PanelRun{chooser, std::move(done), saving, std::move(extension)};
    g_signal_connect(chooser, "response", G_CALLBACK(+[](GtkNativeDialog* dialog, int response, gpointer data) {
                         auto* panel = static_cast<PanelRun*>(data);
                         std::optional<std::filesystem::path> chosen;
                         if (response == GTK_RESPONSE_ACCEPT) {
                             if (GFile* file = gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog))) {
                                 if (char* path = g_file_get_path(file)) {
                                     chosen = panel->saving ? withExtension(path, panel->extension) : std::filesystem::path(path);
                                     g_free(path);
                                 }
                                 g_object_unref(file);
                             }
                         }
                         Completion done = std::move(panel->done);
                         g_object_unref(panel->chooser);
                         delete panel;
                         done(chosen);
                     }),
                     state);
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

} // namespace

std::filesystem::path withVideoExtension(const std::filesystem::path& chosen) {
    std::string extension = chosen.extension().string();
    for (char& c : extension) c = char(g_ascii_tolower(c));
    if (extension == ".mp4" || extension == ".m4v") return chosen;
    std::filesystem::path withExtension = chosen;
    withExtension += ".mp4";
    return withExtension;
}

std::filesystem::path withExtension(const std::filesystem::path& chosen, const std::string& extension) {
    if (extension == ".mp4") return withVideoExtension(chosen);
    std::string have = chosen.extension().string();
    for (char& c : have) c = char(g_ascii_tolower(c));
    if (have == extension) return chosen;
    std::filesystem::path extended = chosen;
    extended += extension;
    return extended;
}

void FileChooserPanels::showOpenPanel(const OpenPanelOptions& options, Completion done) {
    if (const char* path = reviewTestPath(options.suffixes)) {
        answerSoon(std::move(done), std::filesystem::path(path));
        return;
    }
    if (const char* path = options.suffixes.empty() ? std::getenv("SCRIVEL_TEST_OPEN_PATH") : nullptr) {
        answerSoon(std::move(done), std::filesystem::path(path));
        return;
    }
    GtkFileChooserNative* chooser = gtk_file_chooser_native_new(options.title.c_str(), parent_,
                                                                GTK_FILE_CHOOSER_ACTION_OPEN, "_Open", "_Cancel");
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser), options.allowsMultipleSelection);
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser),
                                filterFor(options.mimeTypes, options.suffixes, options.filterName));
    run(chooser, std::move(done), false);
}

void FileChooserPanels::showSavePanel(const SavePanelOptions& options, Completion done) {
    if (const char* path = reviewTestPath(options.suffixes)) {
        answerSoon(std::move(done), withExtension(path, options.defaultExtension));
        return;
    }
    if (const char* path = options.suffixes.empty() ? std::getenv("SCRIVEL_TEST_SAVE_PATH") : nullptr) {
        answerSoon(std::move(done), withVideoExtension(path));
        return;
    }
    GtkFileChooserNative* chooser = gtk_file_chooser_native_new(options.title.c_str(), parent_,
                                                                GTK_FILE_CHOOSER_ACTION_SAVE, "_Export", "_Cancel");
    gtk_file_chooser_set_create_folders(GTK_FILE_CHOOSER(chooser), options.canCreateDirectories);
    gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), options.suggestedFileName.c_str());
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser),
                                filterFor(options.mimeTypes, options.suffixes, options.filterName));
    run(chooser, std::move(done), true, options.defaultExtension);
}

} // namespace scrivel
