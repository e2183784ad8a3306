#include "ScrivelApp/Gtk/WebPage.hpp"

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include "ScrivelApp/WebAssets.hpp"

namespace scrivel {

namespace {

constexpr const char* scheme = "scrivel";
constexpr const char* handlerName = "scrivel";

bool isText(const std::string& mimeType) {
    return mimeType.starts_with("text/") || mimeType == "application/json" || mimeType == "image/svg+xml";
}

// Answers one page-file request synchronously, on the main thread.
void servePageFile(WebKitURISchemeRequest* request, gpointer folderData) {
    const auto& folder = *static_cast<const std::filesystem::path*>(folderData);
    const char* uri = webkit_uri_scheme_request_get_uri(request);
    WebAssets::Response response = WebAssets::load(folder, uri ? uri : "");
    if (response.outcome != WebAssets::Outcome::served) {
        const GIOErrorEnum code = response.outcome == WebAssets::Outcome::unsupportedURL ? G_IO_ERROR_NOT_SUPPORTED
                                  : response.outcome == WebAssets::Outcome::noPermissionsToReadFile
                                      ? G_IO_ERROR_PERMISSION_DENIED
                                      : G_IO_ERROR_NOT_FOUND;
        GError* error = g_error_new_literal(G_IO_ERROR, code, response.message.c_str());
        webkit_uri_scheme_request_finish_error(request, error);
        g_error_free(error);
        return;
    }
    const gint64 length = gint64(response.bytes.size());
    auto* bytes = new std::string(std::move(response.bytes));
    GBytes* data = g_bytes_new_with_free_func(bytes->data(), bytes->size(),
                                               [](gpointer text) { delete static_cast<std::string*>(text); }, bytes);
    auto stream = GObjectPtr<GInputStream>::adopt(g_memory_input_stream_new_from_bytes(data));
    g_bytes_unref(data);
    auto answer = GObjectPtr<WebKitURISchemeResponse>::adopt(webkit_uri_scheme_response_new(stream.get(), length));
    const std::string contentType =
        isText(response.mimeType) ? response.mimeType + "; charset=utf-8" : response.mimeType;
    webkit_uri_scheme_response_set_content_type(answer.get(), contentType.c_str());
    webkit_uri_scheme_request_finish_with_response(request, answer.get());
}

} // namespace

WebPage::WebPage(std::filesystem::path pageFolder, Handlers handlers) : handlers_(std::move(handlers)) {
    auto context = GObjectPtr<WebKitWebContext>::adopt(webkit_web_context_new());
    webkit_web_context_register_uri_scheme(context.get(), scheme, servePageFile,
                                           new std::filesystem::path(std::move(pageFolder)),
                                           [](gpointer folder) { delete static_cast<std::filesystem::path*>(folder); });
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context.get());
    webkit_security_manager_register_uri_scheme_as_secure(security, scheme);
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, scheme);

    // Nothing the page stores outlives the run.
    auto session = GObjectPtr<WebKitNetworkSession>::adopt(webkit_network_session_new_ephemeral());
    auto content = GObjectPtr<WebKitUserContentManager>::adopt(webkit_user_content_manager_new());
    webkit_user_content_manager_register_script_message_handler(content.get(), handlerName, nullptr);

    view_ = GObjectPtr<GtkWidget>::retain(GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context.get(),
                                                                  "network-session", session.get(),
                                                                  "user-content-manager", content.get(), nullptr)));

    messageConnection_ = SignalConnection(
        content.get(), g_signal_connect(content.get(), "script-message-received::scrivel",
                                  G_CALLBACK(+[](WebKitUserContentManager*, JSCValue* value, gpointer data) {
                                      auto* self = static_cast<WebPage*>(data);
                                      char* json = jsc_value_to_json(value, 0);
                                      const std::string body = json ? json : "null";
                                      g_free(json);
                                      if (self->handlers_.message) self->handlers_.message(body);
                                  }),
                                  this));
    policyConnection_ = SignalConnection(
        view_.get(),
        g_signal_connect(view_.get(), "decide-policy",
                         G_CALLBACK(+[](WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                        gpointer data) -> gboolean {
                             if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
                             auto* self = static_cast<WebPage*>(data);
                             WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
                                 WEBKIT_NAVIGATION_POLICY_DECISION(decision));
                             NavigationAction asked;
                             if (WebKitURIRequest* request = webkit_navigation_action_get_request(action)) {
                                 if (const char* uri = webkit_uri_request_get_uri(request)) asked.url = uri;
                             }
                             asked.type = webkit_navigation_action_get_navigation_type(action) ==
                                                  WEBKIT_NAVIGATION_TYPE_LINK_CLICKED
                                              ? NavigationType::linkClicked
                                              : NavigationType::other;
                             const NavigationDecision verdict = self->handlers_.navigation
                                                                    ? self->handlers_.navigation(asked)
                                                                    : NavigationDecision::cancel;
                             if (verdict == NavigationDecision::allow) webkit_policy_decision_use(decision);
                             else webkit_policy_decision_ignore(decision);
                             return TRUE;
                         }),
                         this));
}

WebPage::~WebPage() {
    messageConnection_.disconnect();
    policyConnection_.disconnect();
}

void WebPage::load(const std::string& uri) { webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view_.get()), uri.c_str()); }

void WebPage::editingCommand(const char* command) {
    webkit_web_view_execute_editing_command(WEBKIT_WEB_VIEW(view_.get()), command);
}

void WebPage::evaluateScript(const std::string& script) {
    webkit_web_view_evaluate_javascript(WEBKIT_WEB_VIEW(view_.get()), script.c_str(), gssize(script.size()), nullptr,
                                        nullptr, nullptr, nullptr, nullptr);
}

bool WebPage::hasWindow() const { return GTK_IS_WINDOW(gtk_widget_get_root(view_.get())); }

void WebPage::focusPage() { gtk_widget_grab_focus(view_.get()); }

} // namespace scrivel
