#pragma once

#include "ScrivelApp/BridgeHost.hpp"

typedef struct _GtkWindow GtkWindow;

namespace scrivel {

// Open and save choosers, modal to the main window (the desktop's own
// portal dialogs where there are any).
//
// Testing hook: when the environment variable SCRIVEL_TEST_SAVE_PATH is set,
// the save chooser is not shown and that path is chosen at once; likewise
// SCRIVEL_TEST_OPEN_PATH for the open chooser. Automated runs use them.
// Choosers for reviews (".scrivel") take SCRIVEL_TEST_REVIEW_PATH instead, so
// one run can export a video and save a review.
class FileChooserPanels final : public FilePanels {
public:
    void setParent(GtkWindow* window) { parent_ = window; }
    void showOpenPanel(const OpenPanelOptions& options, Completion done) override;
    void showSavePanel(const SavePanelOptions& options, Completion done) override;

private:
    GtkWindow* parent_ = nullptr; // not owned; the window outlives the panels' use
};

// The chosen name with ".mp4" added when it has no extension the chooser allows.
std::filesystem::path withVideoExtension(const std::filesystem::path& chosen);
// The same for any extension (".scrivel"), compared without letter case.
std::filesystem::path withExtension(const std::filesystem::path& chosen, const std::string& extension);

} // namespace scrivel
