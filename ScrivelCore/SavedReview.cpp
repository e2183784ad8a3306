#include "ScrivelCore/SavedReview.hpp"

#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

#include "ScrivelCore/Errors.hpp"

namespace scrivel {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view formatName = "scrivel-review";

std::string displayed(const fs::path& file) { return file.string(); }

// Failures of the fields read with json:: helpers inside a nested object,
// named with the object's key in front.
template <class Read>
auto within(const char* key, Read read)
{
    try {
        return read();
    } catch (const JsonDecodeError& error) {
        throw json::within(key, error);
    }
}

ReviewedVideo videoAt(const Json& root)
{
    const Json& object = json::require(root, "video");
    if (!object.is_object())
        throw JsonDecodeError("video: expected an object");
    return within("video", [&] {
        ReviewedVideo video{json::string(object, "path"), json::int64(object, "sizeBytes"),
                            json::string(object, "sha256")};
        if (video.path.empty())
            throw JsonDecodeError("path: expected a file path");
        if (video.sizeBytes < 0)
            throw JsonDecodeError("sizeBytes: out of range");
        if (!isSha256Hex(video.sha256))
            throw JsonDecodeError("sha256: expected 64 lower-case hexadecimal digits");
        return video;
    });
}

void checkRanges(const ScanSettings& settings)
{
    if (!(settings.confidence >= 0 && settings.confidence <= 1))
        throw JsonDecodeError("scanSettings.confidence: out of range (0 to 1)");
}

void checkRanges(const ScanResult& result)
{
    if (result.duration < 0)
        throw JsonDecodeError("scanResult.duration: out of range");
    if (result.frameRate < 0)
        throw JsonDecodeError("scanResult.frameRate: out of range");
    if (result.sampleCount < 0)
        throw JsonDecodeError("scanResult.sampleCount: out of range");
    if (result.totalRegions < 0)
        throw JsonDecodeError("scanResult.totalRegions: out of range");
}

// As an export of the scanned video would check them: manual masks inside
// the frame and the video's duration, distances and opacity in range.
void checkRanges(const RenderSettings& settings, double durationSeconds)
{
    try {
        validateRenderSettings(settings, durationSeconds);
    } catch (const ScrivelError& error) {
        throw JsonDecodeError(std::string("renderSettings: ") + error.what());
    }
}

} // namespace

// ---------------------------------------------------------------- errors

ReviewFileError::ReviewFileError(Code code, const std::string& message) : std::runtime_error(message), code_(code) {}

ReviewFileError ReviewFileError::unreadable(const fs::path& file, const std::string& reason)
{
    return {Code::unreadable, "The review " + displayed(file) + " cannot be read: " + reason};
}

ReviewFileError ReviewFileError::unwritable(const fs::path& file, const std::string& reason)
{
    return {Code::unwritable, "The review could not be saved to " + displayed(file) + ": " + reason};
}

ReviewFileError ReviewFileError::notAReview(const fs::path& file, const std::string& reason)
{
    return {Code::notAReview, displayed(file) + " is not a Scrivel review (" + reason + ")."};
}

ReviewFileError ReviewFileError::newerVersion(const fs::path& file, std::int64_t version)
{
    if (version > SavedReview::formatVersion)
        return {Code::newerVersion, "The review " + displayed(file) +
                                        " was saved by a newer version of Scrivel (format " +
                                        std::to_string(version) + "); update Scrivel to open it."};
    return {Code::newerVersion,
            "The review " + displayed(file) + " has an unknown format version, " + std::to_string(version) + "."};
}

ReviewFileError ReviewFileError::videoMissing(const std::string& videoPath)
{
    return {Code::videoMissing, "The video this review was made from is missing: " + videoPath +
                                    " no longer exists. Put the recording back there to open the review."};
}

ReviewFileError ReviewFileError::videoDiffers(const std::string& videoPath, const std::string& what)
{
    return {Code::videoDiffers, "The video at " + videoPath + " is not the one this review was made from: " + what +
                                    ". Scan it again instead."};
}

ReviewFileError ReviewFileError::nothingScanned()
{
    return {Code::nothingScanned, "Scan the video before saving a review."};
}

UnsupportedReviewVersion::UnsupportedReviewVersion(std::int64_t version)
    : JsonDecodeError("version: unsupported version " + std::to_string(version)), version_(version)
{
}

// ---------------------------------------------------------------- JSON

bool isSha256Hex(std::string_view text)
{
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

Json toJson(const ReviewedVideo& value)
{
    return {{"path", value.path}, {"sizeBytes", value.sizeBytes}, {"sha256", value.sha256}};
}

Json toJson(const SavedReview& value)
{
    return {
        {"format", formatName},
        {"version", SavedReview::formatVersion},
        {"video", toJson(value.video)},
        {"scanSettings", toJson(value.scanSettings)},
        {"scanResult", toJson(value.scanResult)},
        {"renderSettings", toJson(value.renderSettings)},
    };
}

template <>
SavedReview decode<SavedReview>(const Json& json)
{
    if (!json.is_object())
        throw JsonDecodeError("expected an object");
    if (json::string(json, "format") != formatName)
        throw JsonDecodeError("format: expected \"scrivel-review\"");
    // The version is read before anything else, so a newer file is refused
    // as newer rather than as a file with a strange key.
    const std::int64_t version = json::int64(json, "version");
    if (version != SavedReview::formatVersion)
        throw UnsupportedReviewVersion(version);
    SavedReview review{
        .video = videoAt(json),
        .scanSettings = json::record<ScanSettings>(json, "scanSettings"),
        .scanResult = json::record<ScanResult>(json, "scanResult"),
        .renderSettings = json::record<RenderSettings>(json, "renderSettings"),
    };
    checkRanges(review.scanSettings);
    checkRanges(review.scanResult);
    checkRanges(review.renderSettings, review.scanResult.duration);
    return review;
}

// ---------------------------------------------------------------- files

SavedReview readReviewFile(const fs::path& file)
{
    std::ifstream stream(file, std::ios::binary);
    if (!stream)
        throw ReviewFileError::unreadable(file, std::error_code(errno, std::generic_category()).message());
    const std::string text{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
    if (stream.bad())
        throw ReviewFileError::unreadable(file, "the file could not be read to its end");
    try {
        return decodeText<SavedReview>(text);
    } catch (const UnsupportedReviewVersion& error) {
        throw ReviewFileError::newerVersion(file, error.version());
    } catch (const JsonDecodeError& error) {
        throw ReviewFileError::notAReview(file, error.what());
    }
}

void writeReviewFile(const fs::path& file, const SavedReview& review)
{
    std::string text;
    try {
        text = toJson(review).dump() + "\n";
    } catch (const nlohmann::json::exception&) { // a string that is not UTF-8
        throw ReviewFileError::unwritable(file, "the review holds text that is not valid UTF-8");
    }
    std::random_device random;
    const fs::path temporary =
        file.parent_path() / ("." + file.filename().string() + "." + std::to_string(random()) + ".part");
    {
        std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
        if (!stream)
            throw ReviewFileError::unwritable(file, std::error_code(errno, std::generic_category()).message());
        stream.write(text.data(), static_cast<std::streamsize>(text.size()));
        stream.close();
        if (!stream) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            throw ReviewFileError::unwritable(file, "the disk refused the data");
        }
    }
    std::error_code renamed;
    fs::rename(temporary, file, renamed);
    if (renamed) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw ReviewFileError::unwritable(file, renamed.message());
    }
}

} // namespace scrivel
