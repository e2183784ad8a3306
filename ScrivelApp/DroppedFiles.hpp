#pragma once

#include <filesystem>
#include <optional>
#include <vector>

namespace scrivel {

// Which of the files dragged onto the window the window takes.
namespace DroppedFiles {

// The extension, compared case-insensitively, is "mp4", "mov" or "m4v".
bool isSupportedVideo(const std::filesystem::path& file);

// The first supported video among `files`, in their order; nullopt when the
// window should refuse the drag.
std::optional<std::filesystem::path> firstSupportedVideo(const std::vector<std::filesystem::path>& files);

} // namespace DroppedFiles

} // namespace scrivel
