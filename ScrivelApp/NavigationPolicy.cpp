#include "ScrivelApp/NavigationPolicy.hpp"

#include <algorithm>
#include <cctype>

namespace scrivel {

namespace {

std::string lowered(std::string_view text)
{
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

bool isSchemeCharacter(char c, bool first)
{
    const unsigned char u = static_cast<unsigned char>(c);
    if (std::isalpha(u))
        return true;
    return !first && (std::isdigit(u) || c == '+' || c == '-' || c == '.');
}

} // namespace

std::optional<UrlOrigin> urlOrigin(std::string_view url)
{
    const std::size_t colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return std::nullopt;
    for (std::size_t i = 0; i < colon; ++i)
        if (!isSchemeCharacter(url[i], i == 0))
            return std::nullopt;
    UrlOrigin origin;
    origin.scheme = lowered(url.substr(0, colon));

    std::string_view rest = url.substr(colon + 1);
    if (rest.substr(0, 2) != "//")
        return origin; // no authority (mailto:, about:blank): no host
    rest.remove_prefix(2);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#\\"));
    // User info ends at the last '@'; "http://127.0.0.1@example.com" is example.com.
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        authority = authority.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
    } else if (const std::size_t port = authority.find(':'); port != std::string_view::npos) {
        authority = authority.substr(0, port);
    }
    origin.host = lowered(authority);
    return origin;
}

NavigationVerdict decideNavigation(const NavigationAction& action)
{
    if (!action.url)
        return {};
    const std::optional<UrlOrigin> origin = urlOrigin(*action.url);
    if (!origin)
        return {};
    const bool web = origin->scheme == "http" || origin->scheme == "https";
    if (action.type == NavigationType::linkClicked && web)
        return {NavigationDecision::cancel, *action.url};
    const bool shippedPage = origin->scheme == "scrivel" && origin->host == "app";
    const bool developmentServer = origin->scheme == "http" && origin->host == "127.0.0.1";
    return {shippedPage || developmentServer ? NavigationDecision::allow : NavigationDecision::cancel, std::nullopt};
}

} // namespace scrivel
