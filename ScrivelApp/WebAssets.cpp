#include "ScrivelApp/WebAssets.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

namespace scrivel::WebAssets {

namespace {

std::string lowercase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// True when `inner` is strictly below `outer` (both absolute and normal).
bool isInside(const std::filesystem::path& inner, const std::filesystem::path& outer) {
    auto i = inner.begin();
    for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
        if (o->empty()) continue; // trailing separator of the folder
        if (i == inner.end() || *i != *o) return false;
    }
    return i != inner.end();
}

Resolution refused(Outcome outcome) { return Resolution{outcome, {}}; }

} // namespace

bool percentDecode(std::string_view text, std::string& decoded) {
    decoded.clear();
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return false;
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return false;
        decoded.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

Resolution resolve(const std::filesystem::path& folder, std::string_view uri) {
    constexpr std::string_view scheme = "scrivel://";
    if (uri.size() < scheme.size() || lowercase(uri.substr(0, scheme.size())) != scheme) {
        return refused(Outcome::unsupportedURL);
    }
    std::string_view rest = uri.substr(scheme.size());
    const std::size_t hostEnd = std::min(rest.find_first_of("/?#"), rest.size());
    if (lowercase(rest.substr(0, hostEnd)) != "app") return refused(Outcome::unsupportedURL);
    rest.remove_prefix(hostEnd);
    rest = rest.substr(0, std::min(rest.find_first_of("?#"), rest.size()));

    std::string path;
    if (rest.size() > 3 * maxPathLength || !percentDecode(rest, path) || path.size() > maxPathLength) {
        return refused(Outcome::noPermissionsToReadFile);
    }
    if (path.empty() || path == "/" || path.front() != '/') return refused(Outcome::noPermissionsToReadFile);
    if (path.find('\0') != std::string::npos || path.find('\\') != std::string::npos) {
        return refused(Outcome::noPermissionsToReadFile);
    }

    std::filesystem::path relative;
    std::size_t start = 1;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view component = std::string_view(path).substr(start, end - start);
        // An empty component in the middle ("a//b", or an encoded "/" at the
        // start) or a dot component is refused rather than normalised.
        if (component.empty() || component == "." || component == "..") {
            return refused(Outcome::noPermissionsToReadFile);
        }
        relative /= std::string(component);
        start = end + 1;
    }

    std::error_code error;
    const std::filesystem::path root = std::filesystem::canonical(folder, error);
    if (error) return refused(Outcome::noPermissionsToReadFile);
    const std::filesystem::path candidate = std::filesystem::weakly_canonical(root / relative, error);
    if (error || !isInside(candidate, root)) return refused(Outcome::noPermissionsToReadFile);
    if (!std::filesystem::is_regular_file(candidate, error)) return refused(Outcome::readFailed);
    return Resolution{Outcome::served, candidate};
}

Response load(const std::filesystem::path& folder, std::string_view uri) {
    Resolution resolution = resolve(folder, uri);
    Response response;
    response.outcome = resolution.outcome;
    switch (resolution.outcome) {
    case Outcome::unsupportedURL:
        response.message = "The address is not a page file.";
        return response;
    case Outcome::noPermissionsToReadFile:
        response.message = "The page file may not be read.";
        return response;
    case Outcome::readFailed:
        response.message = "The page file could not be read.";
        return response;
    case Outcome::served:
        break;
    }
    std::ifstream stream(resolution.file, std::ios::binary);
    if (!stream) {
        response.outcome = Outcome::readFailed;
        response.message = "The page file could not be read.";
        return response;
    }
    response.bytes.assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    if (stream.bad()) {
        response = Response{Outcome::readFailed, {}, {}, "The page file could not be read."};
        return response;
    }
    response.mimeType = mimeType(resolution.file);
    return response;
}

std::string mimeType(const std::filesystem::path& file) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 24> types{{
        {".html", "text/html"},
        {".htm", "text/html"},
        {".css", "text/css"},
        {".js", "text/javascript"},
        {".mjs", "text/javascript"},
        {".json", "application/json"},
        {".map", "application/json"},
        {".wasm", "application/wasm"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},
        {".gif", "image/gif"},
        {".webp", "image/webp"},
        {".ico", "image/vnd.microsoft.icon"},
        {".woff", "font/woff"},
        {".woff2", "font/woff2"},
        {".ttf", "font/ttf"},
        {".otf", "font/otf"},
        {".txt", "text/plain"},
        {".xml", "application/xml"},
        {".mp4", "video/mp4"},
        {".webm", "video/webm"},
        {".pdf", "application/pdf"},
    }};
    const std::string extension = lowercase(file.extension().string());
    for (const auto& [known, type] : types) {
        if (extension == known) return std::string(type);
    }
    return "application/octet-stream";
}

} // namespace scrivel::WebAssets
