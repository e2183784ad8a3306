#include "ScrivelApp/DroppedFiles.hpp"

#include <algorithm>
#include <cctype>
#include <string>

namespace scrivel::DroppedFiles {

bool isSupportedVideo(const std::filesystem::path& file) {
    std::string extension = file.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".mp4" || extension == ".mov" || extension == ".m4v";
}

std::optional<std::filesystem::path> firstSupportedVideo(const std::vector<std::filesystem::path>& files) {
    const auto found = std::find_if(files.begin(), files.end(), isSupportedVideo);
    if (found == files.end()) return std::nullopt;
    return *found;
}

} // namespace scrivel::DroppedFiles
