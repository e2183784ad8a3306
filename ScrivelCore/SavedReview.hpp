#pragma once

// A review kept on disk (a ".scrivel" file): the scan of one video and the
// reviewer's choices, so that a long scan survives a restart and can be
// rendered later. The file is JSON:
//
//   {"format": "scrivel-review", "version": 1,
//    "video": {"path", "sizeBytes", "sha256"},
//    "scanSettings", "scanResult", "renderSettings"}
//
// Decoding is as strict as every other record (Json.hpp): every key
// required, types checked, and beyond that the render settings are checked
// as for an export of the scanned video, and a version other than this
// build's is refused.

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "ScrivelCore/Json.hpp"
#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"

namespace scrivel {

// The video as it was when the review was saved; a review opens only onto
// the same contents.
struct ReviewedVideo {
    std::string path; // absolute, UTF-8
    std::int64_t sizeBytes = 0;
    std::string sha256; // of the whole file, 64 lower-case hexadecimal digits

    bool operator==(const ReviewedVideo&) const = default;
};

struct SavedReview {
    static constexpr std::int64_t formatVersion = 1;
    static constexpr std::string_view fileExtension = ".scrivel";

    ReviewedVideo video;
    ScanSettings scanSettings;
    ScanResult scanResult;
    RenderSettings renderSettings; // style, exclusions, manual masks

    bool operator==(const SavedReview&) const = default;
};

// Why a review could not be read, written or opened onto its video. what()
// is the message shown to the user.
class ReviewFileError : public std::runtime_error {
public:
    enum class Code { unreadable, unwritable, notAReview, newerVersion, videoMissing, videoDiffers, nothingScanned };

    static ReviewFileError unreadable(const std::filesystem::path& file, const std::string& reason);
    static ReviewFileError unwritable(const std::filesystem::path& file, const std::string& reason);
    // `reason` is the decoder's, naming the key path.
    static ReviewFileError notAReview(const std::filesystem::path& file, const std::string& reason);
    static ReviewFileError newerVersion(const std::filesystem::path& file, std::int64_t version);
    static ReviewFileError videoMissing(const std::string& videoPath);
    // `what` says how it differs: its size or its contents.
    static ReviewFileError videoDiffers(const std::string& videoPath, const std::string& what);
    // A review is a scan and what was decided about it; without a scan there is none.
    static ReviewFileError nothingScanned();

    Code code() const noexcept { return code_; }

private:
    ReviewFileError(Code code, const std::string& message);
    Code code_;
};

// A review's version that this build cannot read, thrown by decode<SavedReview>
// (a JsonDecodeError, so callers that only want "valid or not" need one catch).
class UnsupportedReviewVersion : public JsonDecodeError {
public:
    explicit UnsupportedReviewVersion(std::int64_t version);
    std::int64_t version() const noexcept { return version_; }

private:
    std::int64_t version_;
};

Json toJson(const ReviewedVideo& value);
Json toJson(const SavedReview& value);
template <> SavedReview decode<SavedReview>(const Json& json);

// Whether `text` is 64 lower-case hexadecimal digits.
bool isSha256Hex(std::string_view text);

// Reads and decodes a review file; throws ReviewFileError (unreadable,
// notAReview, newerVersion).
SavedReview readReviewFile(const std::filesystem::path& file);
// Writes the review beside `file` and renames it into place, so a failed
// write never leaves half a review where a good one was. Throws
// ReviewFileError::unwritable.
void writeReviewFile(const std::filesystem::path& file, const SavedReview& review);

} // namespace scrivel
