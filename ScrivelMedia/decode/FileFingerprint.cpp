#include "decode/FileFingerprint.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "ScrivelCore/Errors.hpp"
#include "decode/FfmpegHandles.hpp"

namespace scrivel {

namespace fs = std::filesystem;

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

constexpr std::size_t chunkBytes = 1 << 20;

std::string hex(const std::array<std::uint8_t, 32>& digest)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (const std::uint8_t byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

[[noreturn]] void failRead(const fs::path& file, int error)
{
    throw PlatformError(file.string() + ": " + std::strerror(error));
}

} // namespace

FileFingerprint fingerprintFile(const fs::path& file, std::stop_token stop)
{
    const std::unique_ptr<std::FILE, FileCloser> stream(std::fopen(file.c_str(), "rb"));
    if (!stream)
        failRead(file, errno);
    ShaContext sha(av_sha_alloc());
    if (!sha)
        throw std::bad_alloc();
    throwIfError(av_sha_init(sha.get(), 256), "SHA-256");
    std::vector<std::uint8_t> buffer(chunkBytes);
    std::int64_t size = 0;
    for (;;) {
        if (stop.stop_requested())
            throw OperationCancelled();
        const std::size_t read = std::fread(buffer.data(), 1, buffer.size(), stream.get());
        av_sha_update(sha.get(), buffer.data(), read);
        size += static_cast<std::int64_t>(read);
        if (read < buffer.size()) {
            if (std::ferror(stream.get()))
                failRead(file, errno ? errno : EIO);
            break;
        }
    }
    std::array<std::uint8_t, 32> digest{};
    av_sha_final(sha.get(), digest.data());
    return {size, hex(digest)};
}

ReviewedVideo reviewedVideo(const fs::path& video, std::stop_token stop)
{
    const FileFingerprint fingerprint = fingerprintFile(video, stop);
    return {fs::absolute(video).lexically_normal().string(), fingerprint.sizeBytes, fingerprint.sha256};
}

void checkReviewedVideo(const ReviewedVideo& video, std::stop_token stop)
{
    std::error_code error;
    const bool isFile = fs::is_regular_file(video.path, error);
    if (!isFile)
        throw ReviewFileError::videoMissing(video.path);
    const std::uintmax_t size = fs::file_size(video.path, error);
    if (error)
        throw ReviewFileError::videoMissing(video.path);
    if (size != static_cast<std::uintmax_t>(video.sizeBytes))
        throw ReviewFileError::videoDiffers(video.path, "its size is " + std::to_string(size) + " bytes, not " +
                                                            std::to_string(video.sizeBytes));
    if (fingerprintFile(video.path, stop).sha256 != video.sha256)
        throw ReviewFileError::videoDiffers(video.path, "its contents have changed");
}

} // namespace scrivel
