#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "ScrivelCore/Errors.hpp"
#include "decode/FileFingerprint.hpp"
#include "support/ClipWriter.hpp"

namespace scrivel {
namespace {

namespace fs = std::filesystem;

struct Folder : test::TemporaryFolder {
    fs::path write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(path / name, std::ios::binary) << bytes;
        return path / name;
    }
};

// coreutils' own answer, for files whose digest no standard lists.
std::string sha256sum(const fs::path& file)
{
    const std::string command = "sha256sum '" + file.string() + "'";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return {};
    char digest[65] = {};
    const std::size_t read = std::fread(digest, 1, 64, pipe);
    pclose(pipe);
    return std::string(digest, read);
}

TEST(FileFingerprint, HashesWholeFilesAcrossReadChunks)
{
    Folder folder;
    // FIPS 180-2's examples, then sizes on both sides of the read chunk.
    EXPECT_EQ(fingerprintFile(folder.write("empty", "")),
              (FileFingerprint{0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"}));
    EXPECT_EQ(fingerprintFile(folder.write("abc", "abc")),
              (FileFingerprint{3, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}));
    for (const std::size_t size : {std::size_t{1} << 20, (std::size_t{3} << 20) + 17}) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
        const fs::path file = folder.write("big" + std::to_string(size), bytes);
        const FileFingerprint fingerprint = fingerprintFile(file);
        EXPECT_EQ(fingerprint.sizeBytes, static_cast<std::int64_t>(size));
        EXPECT_EQ(fingerprint.sha256, sha256sum(file)) << size;
    }
    EXPECT_THROW(fingerprintFile(folder.path / "none"), PlatformError);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(fingerprintFile(folder.path / "abc", stop.get_token()), OperationCancelled);
}

TEST(FileFingerprint, ReviewOpensOnlyOntoTheSameVideo)
{
    Folder folder;
    const fs::path video = folder.write("clip.mp4", std::string(5000, 'v'));
    const ReviewedVideo recorded = reviewedVideo(video);
    EXPECT_TRUE(fs::path(recorded.path).is_absolute());
    EXPECT_EQ(recorded.sizeBytes, 5000);
    EXPECT_NO_THROW(checkReviewedVideo(recorded));

    const auto refusal = [&](const ReviewedVideo& expected) -> std::pair<ReviewFileError::Code, std::string> {
        try {
            checkReviewedVideo(expected);
        } catch (const ReviewFileError& error) {
            return {error.code(), error.what()};
        }
        ADD_FAILURE() << "accepted";
        return {};
    };
    // Same size, one byte changed: only the hash can tell.
    folder.write("clip.mp4", std::string(4999, 'v') + "w");
    const auto [changedCode, changed] = refusal(recorded);
    EXPECT_EQ(changedCode, ReviewFileError::Code::videoDiffers);
    EXPECT_NE(changed.find(recorded.path), std::string::npos) << changed;
    EXPECT_NE(changed.find("its contents have changed"), std::string::npos) << changed;

    folder.write("clip.mp4", std::string(10, 'v'));
    const auto [sizeCode, resized] = refusal(recorded);
    EXPECT_EQ(sizeCode, ReviewFileError::Code::videoDiffers);
    EXPECT_NE(resized.find("its size is 10 bytes, not 5000"), std::string::npos) << resized;

    fs::remove(video);
    const auto [missingCode, missing] = refusal(recorded);
    EXPECT_EQ(missingCode, ReviewFileError::Code::videoMissing);
    EXPECT_NE(missing.find(recorded.path + " no longer exists"), std::string::npos) << missing;
}

} // namespace
} // namespace scrivel
