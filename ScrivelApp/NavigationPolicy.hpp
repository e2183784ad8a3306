#pragma once

// Which navigations the page's web view may perform: only the shipped page
// (scrivel://app) and a development server on the loopback address. Links the
// user clicks to web pages open in the default browser instead.

#include <optional>
#include <string>
#include <string_view>

namespace scrivel {

enum class NavigationType { linkClicked, other };

struct NavigationAction {
    std::optional<std::string> url; // none when the request has no URL
    NavigationType type = NavigationType::other;

    bool operator==(const NavigationAction&) const = default;
};

enum class NavigationDecision { allow, cancel };

struct NavigationVerdict {
    NavigationDecision decision = NavigationDecision::cancel;
    // The address to open in the default browser, for a clicked web link.
    std::optional<std::string> openExternally;

    bool operator==(const NavigationVerdict&) const = default;
};

// Scheme and host of an absolute URL, both lower-cased; the host without
// user info, port or brackets. nullopt when the text has no scheme.
struct UrlOrigin {
    std::string scheme;
    std::string host;

    bool operator==(const UrlOrigin&) const = default;
};
std::optional<UrlOrigin> urlOrigin(std::string_view url);

NavigationVerdict decideNavigation(const NavigationAction& action);

} // namespace scrivel
