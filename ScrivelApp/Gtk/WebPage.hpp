#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "ScrivelApp/BridgeHost.hpp"
#include "ScrivelApp/Gtk/GObjectPtr.hpp"
#include "ScrivelApp/NavigationPolicy.hpp"

typedef struct _GtkWidget GtkWidget;

namespace scrivel {

// The page's web view: a session that keeps nothing after the run, the
// "scrivel" scheme serving the page folder (WebAssets decides every request),
// the "scrivel" script message handler, and the navigation policy.
class WebPage final : public PageView {
public:
    struct Handlers {
        // A message posted to the "scrivel" handler, as JSON text.
        std::function<void(std::string_view body)> message;
        std::function<NavigationDecision(const NavigationAction& action)> navigation;
    };

    WebPage(std::filesystem::path pageFolder, Handlers handlers);
    ~WebPage() override;
    WebPage(const WebPage&) = delete;
    WebPage& operator=(const WebPage&) = delete;

    GtkWidget* widget() const { return view_.get(); }
    void load(const std::string& uri);
    // One of WebKit's editing commands ("Copy", "Paste", ...) in the focused field.
    void editingCommand(const char* command);

    void evaluateScript(const std::string& script) override;
    bool hasWindow() const override;
    void focusPage() override;

private:
    Handlers handlers_;
    GObjectPtr<GtkWidget> view_;
    SignalConnection messageConnection_;
    SignalConnection policyConnection_;
};

} // namespace scrivel
