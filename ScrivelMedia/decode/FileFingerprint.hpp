#pragma once

// What a saved review remembers of its video: the file's size and the
// SHA-256 of its contents, so that a review is only ever opened onto the
// recording it was made from.

#include <cstdint>
#include <filesystem>
#include <stop_token>
#include <string>

#include "ScrivelCore/SavedReview.hpp"

namespace scrivel {

struct FileFingerprint {
    std::int64_t sizeBytes = 0;
    std::string sha256; // 64 lower-case hexadecimal digits

    bool operator==(const FileFingerprint&) const = default;
};

// Reads the whole file, a megabyte at a time, testing `stop` between reads
// (OperationCancelled). Throws PlatformError when the file cannot be read.
FileFingerprint fingerprintFile(const std::filesystem::path& file, std::stop_token stop = {});

// The video as a review records it: its absolute path and fingerprint.
ReviewedVideo reviewedVideo(const std::filesystem::path& video, std::stop_token stop = {});

// Throws ReviewFileError::videoMissing when the review's video is gone, and
// ReviewFileError::videoDiffers when its size or contents changed. The size
// is compared first: a different size needs no hashing.
void checkReviewedVideo(const ReviewedVideo& video, std::stop_token stop = {});

} // namespace scrivel
