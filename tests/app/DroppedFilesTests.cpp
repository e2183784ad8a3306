#include "ScrivelApp/DroppedFiles.hpp"

#include <gtest/gtest.h>

namespace scrivel {
namespace {

TEST(DroppedFiles, TakesTheFirstSupportedVideo) {
    using Files = std::vector<std::filesystem::path>;
    EXPECT_EQ(DroppedFiles::firstSupportedVideo(Files{"/a/notes.txt", "/a/clip.avi", "/a/third.mp4"}),
              std::filesystem::path("/a/third.mp4"));
    EXPECT_EQ(DroppedFiles::firstSupportedVideo(Files{"/a/one.MOV", "/a/two.mp4"}), std::filesystem::path("/a/one.MOV"));
    EXPECT_EQ(DroppedFiles::firstSupportedVideo(Files{"/a/x.M4v"}), std::filesystem::path("/a/x.M4v"));
    EXPECT_EQ(DroppedFiles::firstSupportedVideo(Files{"/a/clip.avi", "/a/mp4", "/a/.mp4", "/a/clip.mp4.txt"}),
              std::nullopt);
    EXPECT_EQ(DroppedFiles::firstSupportedVideo(Files{}), std::nullopt);
}

} // namespace
} // namespace scrivel
