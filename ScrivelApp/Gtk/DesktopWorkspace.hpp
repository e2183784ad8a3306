#pragma once

#include "ScrivelApp/BridgeHost.hpp"

namespace scrivel {

// The desktop through GIO: the default browser, and the file manager's
// org.freedesktop.FileManager1 interface to show a file selected (its folder
// opened as a fallback).
class DesktopWorkspace final : public Workspace {
public:
    void revealFile(const std::filesystem::path& path) override;
    void openURL(const std::string& url) override;
};

} // namespace scrivel
