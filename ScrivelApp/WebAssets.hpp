#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace scrivel {

// Serves the page's files for "scrivel://app/<path>". Every decision is made
// here, without the toolkit, so the shell's scheme handler only forwards the
// outcome: nothing outside the page folder is ever read.
namespace WebAssets {

// Requests longer than this (after decoding) are refused outright; no page
// file needs anything near it, and it bounds the work done per request.
inline constexpr std::size_t maxPathLength = 1024;

enum class Outcome {
    served,
    unsupportedURL,          // not our scheme or not the "app" host
    noPermissionsToReadFile, // outside the folder, the folder itself, or a refused path
    readFailed,              // inside the folder but unreadable (missing, a directory, I/O error)
};

struct Resolution {
    Outcome outcome = Outcome::unsupportedURL;
    std::filesystem::path file; // set when outcome is served

    bool operator==(const Resolution&) const = default;
};

struct Response {
    Outcome outcome = Outcome::unsupportedURL;
    std::string mimeType; // set when served
    std::string bytes;    // the whole file when served
    std::string message;  // why, when not served

    bool operator==(const Response&) const = default;
};

// Maps an address to a regular file inside `folder`. Refused: other schemes
// or hosts; "." or ".." components (also percent-encoded), empty components
// (so an encoded "/" cannot make the path absolute), NUL or backslash, the
// folder itself, over-long paths, and anything whose real path (symbolic
// links followed) lies outside the folder's real path.
Resolution resolve(const std::filesystem::path& folder, std::string_view uri);

// resolve, then read the whole file and name its MIME type.
Response load(const std::filesystem::path& folder, std::string_view uri);

// From the extension, case-insensitively; "application/octet-stream" when
// the extension is unknown or missing.
std::string mimeType(const std::filesystem::path& file);

// Percent-decoding into `decoded`; false when a "%" is not followed by two
// hex digits.
bool percentDecode(std::string_view text, std::string& decoded);

} // namespace WebAssets

} // namespace scrivel
