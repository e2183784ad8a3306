#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ScrivelCore/SavedReview.hpp"

namespace scrivel {
namespace {

namespace fs = std::filesystem;

SavedReview sampleReview()
{
    DetectedRegion region;
    region.rect = {0.1, 0.2, 0.5, 0.05};
    region.confidence = 0.87f;
    region.text = "\xE8\x81\x94\xE7\xB3\xBB ann@example.com";
    region.selections = {{{0, 0, 0.2, 1}, RedactionKind::han, "\xE8\x81\x94\xE7\xB3\xBB"},
                         {{0.3, 0, 0.7, 1}, RedactionKind::email, "ann@example.com"}};
    region.trackID = 7;
    region.backgroundColor = 0xF0F0F0;

    SavedReview review;
    review.video = {"/home/ann/Videos/demo \"one\".mp4", 1234567,
                    "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"};
    review.scanSettings = {.allText = false,
                           .quality = OCRQuality::precise,
                           .confidence = 0.3f,
                           .blurHan = true,
                           .blurEmails = true,
                           .blurPhones = false,
                           .customTerms = {"Project Kite"}};
    review.scanResult = {.duration = 4.5,
                         .frameRate = 30,
                         .sampleCount = 2,
                         .totalRegions = 2,
                         .samples = {{0, 0, {region}}, {1.0 / 30, 0, {region}}}};
    review.renderSettings = startingRenderSettings();
    review.renderSettings.style = MaskStyle::pixelate;
    review.renderSettings.excludedTrackIDs = {3, 9};
    review.renderSettings.manualMasks = {{"mask-1", {0.5, 0.5, 0.25, 0.25}, 1, 2.5, true},
                                         {"mask-2", {0, 0, 0.1, 0.1}, 0, 4.5, false}};
    return review;
}

struct TemporaryFolder {
    TemporaryFolder()
    {
        std::string pattern = (fs::temp_directory_path() / "scrivel-review-test-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~TemporaryFolder()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::vector<fs::path> entries() const { return {fs::directory_iterator(path), fs::directory_iterator()}; }
    fs::path path;
};

TEST(SavedReview, RoundTripsThroughJsonAndFile)
{
    const SavedReview review = sampleReview();
    const Json encoded = toJson(review);
    EXPECT_EQ(encoded["format"], "scrivel-review");
    EXPECT_EQ(encoded["version"], SavedReview::formatVersion);
    EXPECT_EQ(decode<SavedReview>(encoded), review);
    EXPECT_EQ(decodeText<SavedReview>(encoded.dump()), review);

    TemporaryFolder folder;
    const fs::path file = folder.path / "demo.scrivel";
    writeReviewFile(file, review);
    EXPECT_EQ(readReviewFile(file), review);
    // Saving again replaces the review and leaves no temporary file behind.
    SavedReview changed = review;
    changed.renderSettings.excludedTrackIDs.clear();
    writeReviewFile(file, changed);
    EXPECT_EQ(readReviewFile(file), changed);
    EXPECT_EQ(folder.entries(), std::vector<fs::path>{file});
}

// Each case edits a valid encoded review; decoding must fail naming the path.
struct DecodeFailure {
    const char* name;
    std::function<void(Json&)> edit;
    const char* expectedPath;
};

TEST(SavedReview, DecodingIsStrict)
{
    const std::vector<DecodeFailure> cases = {
        // missing keys, at the top and deep inside
        {"no format", [](Json& j) { j.erase("format"); }, "format: missing key"},
        {"no version", [](Json& j) { j.erase("version"); }, "version: missing key"},
        {"no video", [](Json& j) { j.erase("video"); }, "video: missing key"},
        {"no hash", [](Json& j) { j["video"].erase("sha256"); }, "video.sha256: missing key"},
        {"no scan settings", [](Json& j) { j.erase("scanSettings"); }, "scanSettings: missing key"},
        {"no sample time", [](Json& j) { j["scanResult"]["samples"][1].erase("time"); },
         "scanResult.samples[1].time: missing key"},
        {"no exclusions", [](Json& j) { j["renderSettings"].erase("excludedTrackIDs"); },
         "renderSettings.excludedTrackIDs: missing key"},
        // wrong types
        {"not an object", [](Json& j) { j = Json::array(); }, "expected an object"},
        {"version as text", [](Json& j) { j["version"] = "1"; }, "version: expected an integer"},
        {"fractional size", [](Json& j) { j["video"]["sizeBytes"] = 12.5; }, "video.sizeBytes: expected an integer"},
        {"video as text", [](Json& j) { j["video"] = "demo.mp4"; }, "video: expected an object"},
        {"opacity as text", [](Json& j) { j["renderSettings"]["opacity"] = "1"; },
         "renderSettings.opacity: expected a number"},
        {"scan result as array", [](Json& j) { j["scanResult"] = Json::array(); }, "scanResult: expected an object"},
        {"unknown style", [](Json& j) { j["renderSettings"]["style"] = "fog"; }, "renderSettings.style: unknown value"},
        // values out of range
        {"another format", [](Json& j) { j["format"] = "scan-result"; }, "format: expected \"scrivel-review\""},
        {"negative size", [](Json& j) { j["video"]["sizeBytes"] = -1; }, "video.sizeBytes: out of range"},
        {"short hash", [](Json& j) { j["video"]["sha256"] = "9f86d0"; }, "video.sha256: expected 64"},
        {"upper-case hash",
         [](Json& j) { j["video"]["sha256"] = "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08"; },
         "video.sha256: expected 64"},
        {"empty path", [](Json& j) { j["video"]["path"] = ""; }, "video.path: expected a file path"},
        {"confidence above one", [](Json& j) { j["scanSettings"]["confidence"] = 1.5; },
         "scanSettings.confidence: out of range"},
        {"negative duration", [](Json& j) { j["scanResult"]["duration"] = -1; }, "scanResult.duration: out of range"},
        {"opacity above one", [](Json& j) { j["renderSettings"]["opacity"] = 1.5; },
         "renderSettings: Invalid mask settings."},
        {"mask after the end", [](Json& j) { j["renderSettings"]["manualMasks"][0]["endTime"] = 4.6; },
         "renderSettings: Invalid mask settings."},
        {"repeated mask id", [](Json& j) { j["renderSettings"]["manualMasks"][1]["id"] = "mask-1"; },
         "renderSettings: Invalid mask settings."},
    };
    for (const DecodeFailure& c : cases) {
        Json encoded = toJson(sampleReview());
        c.edit(encoded);
        try {
            (void)decode<SavedReview>(encoded);
            ADD_FAILURE() << c.name << ": decoded";
        } catch (const UnsupportedReviewVersion& error) {
            ADD_FAILURE() << c.name << ": taken for a version problem: " << error.what();
        } catch (const JsonDecodeError& error) {
            EXPECT_EQ(std::string(error.what()).rfind(c.expectedPath, 0), 0u) << c.name << ": " << error.what();
        }
    }
}

TEST(SavedReview, OtherVersionsAreRefusedBeforeAnythingElse)
{
    for (const std::int64_t version : {std::int64_t{2}, std::int64_t{0}, std::int64_t{-1}}) {
        Json encoded = toJson(sampleReview());
        encoded["version"] = version;
        encoded.erase("scanResult"); // a later format may well lay its keys out differently
        try {
            (void)decode<SavedReview>(encoded);
            ADD_FAILURE() << "version " << version << " decoded";
        } catch (const UnsupportedReviewVersion& error) {
            EXPECT_EQ(error.version(), version);
        }
    }
}

TEST(SavedReview, FileFailuresSayWhatIsWrong)
{
    TemporaryFolder folder;
    const auto failure = [](const std::function<void()>& action) -> std::pair<ReviewFileError::Code, std::string> {
        try {
            action();
        } catch (const ReviewFileError& error) {
            return {error.code(), error.what()};
        }
        ADD_FAILURE() << "no ReviewFileError";
        return {};
    };
    const auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(folder.path / name, std::ios::binary) << text;
        return folder.path / name;
    };

    const auto [missingCode, missing] = failure([&] { readReviewFile(folder.path / "none.scrivel"); });
    EXPECT_EQ(missingCode, ReviewFileError::Code::unreadable);
    EXPECT_NE(missing.find("none.scrivel cannot be read"), std::string::npos) << missing;

    const fs::path text = write("notes.scrivel", "my notes");
    const auto [textCode, notReview] = failure([&] { readReviewFile(text); });
    EXPECT_EQ(textCode, ReviewFileError::Code::notAReview);
    EXPECT_NE(notReview.find("is not a Scrivel review (malformed JSON"), std::string::npos) << notReview;

    Json future = toJson(sampleReview());
    future["version"] = 3;
    const fs::path newer = write("newer.scrivel", future.dump());
    const auto [newerCode, newerMessage] = failure([&] { readReviewFile(newer); });
    EXPECT_EQ(newerCode, ReviewFileError::Code::newerVersion);
    EXPECT_NE(newerMessage.find("newer version of Scrivel (format 3)"), std::string::npos) << newerMessage;

    Json broken = toJson(sampleReview());
    broken["renderSettings"]["opacity"] = -0.5;
    const fs::path outOfRange = write("range.scrivel", broken.dump());
    const auto [rangeCode, rangeMessage] = failure([&] { readReviewFile(outOfRange); });
    EXPECT_EQ(rangeCode, ReviewFileError::Code::notAReview);
    EXPECT_NE(rangeMessage.find("renderSettings"), std::string::npos) << rangeMessage;

    const std::size_t before = folder.entries().size();
    const auto [unwritableCode, unwritable] =
        failure([&] { writeReviewFile(folder.path / "gone" / "demo.scrivel", sampleReview()); });
    EXPECT_EQ(unwritableCode, ReviewFileError::Code::unwritable);
    EXPECT_NE(unwritable.find("could not be saved to"), std::string::npos) << unwritable;
    EXPECT_EQ(folder.entries().size(), before);

    SavedReview notText = sampleReview();
    notText.scanSettings.customTerms = {"\xFF\xFE"};
    const auto [invalidCode, invalid] = failure([&] { writeReviewFile(folder.path / "bad.scrivel", notText); });
    EXPECT_EQ(invalidCode, ReviewFileError::Code::unwritable);
    EXPECT_FALSE(fs::exists(folder.path / "bad.scrivel"));
}

} // namespace
} // namespace scrivel
