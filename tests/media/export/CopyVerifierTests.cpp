#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "ScrivelCore/Errors.hpp"
#include "export/CopyVerifier.hpp"
#include "recognition/TextRecognizer.hpp"
#include "export/VideoExporter.hpp"
#include "scan/VideoScanner.hpp"
#include "support/ClipWriter.hpp"
#include "support/OcrSuite.hpp"

namespace scrivel {
namespace {

namespace fs = std::filesystem;
using test::ClipAudioCodec;
using test::ClipSpec;

using Workspace = test::TemporaryFolder;

cv::Mat numberedFrame(int width, int height, int index)
{
    cv::Mat frame(height, width, CV_8UC3, cv::Scalar(200, 200, 200));
    cv::putText(frame, std::to_string(index), {width / 3, height / 2}, cv::FONT_HERSHEY_SIMPLEX, 1, {20, 20, 20});
    return frame;
}

fs::path makeClip(const fs::path& path, const ClipSpec& format)
{
    test::writeClip(path, format, [&format](int index) { return numberedFrame(format.width, format.height, index); });
    return path;
}

ClipSpec withAudio(ClipAudioCodec codec = ClipAudioCodec::aac)
{
    ClipSpec format;
    format.width = 160;
    format.height = 96;
    format.frameCount = 12;
    format.frameRate = 24;
    format.audioCodec = codec;
    return format;
}

// The exporter's copy with nothing masked: what every check must pass.
fs::path plainCopy(const fs::path& source, const fs::path& output)
{
    VideoExporter::exportVideo(source, output, ScanResult{}, startingRenderSettings(), {});
    return output;
}

std::vector<std::string> differencesBetween(const fs::path& original, const fs::path& copy)
{
    CopyCheck check;
    CopyVerifier::compareContainers(original, copy, check);
    return check.differences;
}

bool anyMentions(const std::vector<std::string>& lines, const std::string& word)
{
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return line.find(word) != line.npos; });
}

TEST(CopyContainers, TheExportersOwnCopyIsFaithful)
{
    Workspace dir;
    const fs::path original = makeClip(dir.path / "a.mp4", withAudio());
    const fs::path copy = plainCopy(original, dir.path / "copy.mp4");
    CopyCheck check;
    CopyVerifier::compareContainers(original, copy, check);
    EXPECT_TRUE(check.differences.empty()) << check.differences.front();
    EXPECT_TRUE(check.notes.empty());
    EXPECT_TRUE(differencesBetween(original, original).empty());
}

TEST(CopyContainers, ReportsWhatDiffers)
{
    Workspace dir;
    const ClipSpec format = withAudio();
    const fs::path original = makeClip(dir.path / "a.mp4", format);

    ClipSpec shorter = format;
    shorter.frameCount -= 2;
    const auto lostFrames = differencesBetween(original, makeClip(dir.path / "shorter.mp4", shorter));
    EXPECT_TRUE(anyMentions(lostFrames, "10 frames; the original has 12")) << lostFrames.size();

    ClipSpec otherTone = format;
    otherTone.toneHz = 660;
    const auto otherAudio = differencesBetween(original, makeClip(dir.path / "tone.mp4", otherTone));
    ASSERT_EQ(otherAudio.size(), 1U);
    EXPECT_NE(otherAudio[0].find("Audio stream 1"), std::string::npos) << otherAudio[0];

    ClipSpec silent = format;
    silent.audioCodec = ClipAudioCodec::none;
    EXPECT_TRUE(anyMentions(differencesBetween(original, makeClip(dir.path / "silent.mp4", silent)),
                            "0 audio streams; the original has 1"));

    ClipSpec slower = format;
    slower.frameRate = 20;
    EXPECT_TRUE(anyMentions(differencesBetween(original, makeClip(dir.path / "slower.mp4", slower)), "another time"));

    ClipSpec larger = format;
    larger.width = 192;
    EXPECT_TRUE(anyMentions(differencesBetween(original, makeClip(dir.path / "larger.mp4", larger)), "192 × 96"));
}

TEST(CopyContainers, DisplayedSizeAndReencodedAudioAreNotDifferences)
{
    Workspace dir;
    // Turned upright by the export: the copy is stored 96 × 160, as the original is shown.
    ClipSpec rotated = withAudio();
    rotated.rotationDegrees = 90;
    const fs::path portrait = makeClip(dir.path / "portrait.mp4", rotated);
    EXPECT_TRUE(differencesBetween(portrait, plainCopy(portrait, dir.path / "portrait-copy.mp4")).empty());

    // 16-bit PCM cannot go into MP4 as it is; the export re-encodes it.
    const fs::path pcm = makeClip(dir.path / "pcm.mov", withAudio(ClipAudioCodec::pcm));
    CopyCheck check;
    CopyVerifier::compareContainers(pcm, plainCopy(pcm, dir.path / "pcm-copy.mp4"), check);
    EXPECT_TRUE(check.differences.empty()) << check.differences.front();
    ASSERT_EQ(check.notes.size(), 1U);
    EXPECT_NE(check.notes[0].find("re-encoded to AAC"), std::string::npos) << check.notes[0];
}

TEST(CopyContainers, RefusesAFileThatIsNotAVideo)
{
    Workspace dir;
    const fs::path original = makeClip(dir.path / "a.mp4", withAudio());
    std::ofstream(dir.path / "notes.mp4") << "not a video";
    CopyCheck check;
    EXPECT_THROW(CopyVerifier::compareContainers(original, dir.path / "notes.mp4", check), ScrivelError);
}

// A readable e-mail address and phone number on a screen-like page, still
// for the whole clip, and the scan result that masks exactly their ink.
class CopyVerifierReading : public testing::OcrSuite {
protected:
    static constexpr int kWidth = 640;
    static constexpr int kHeight = 240;

    void SetUp() override
    {
        OcrSuite::SetUp();
        if (IsSkipped())
            return;
        testing::TextCanvas canvas(kWidth, kHeight, {250, 250, 250});
        const cv::Rect mail = canvas.draw("Write to anna.lee@example.com", {40, 80}, 28, testing::Font::sans, {30, 30, 30});
        const cv::Rect phone = canvas.draw("Call +1 415 555 0132 today", {40, 160}, 28, testing::Font::sans, {30, 30, 30});
        page_ = canvas.pixels().clone();
        ClipSpec format;
        format.width = kWidth;
        format.height = kHeight;
        format.frameCount = 6;
        format.frameRate = 6;
        format.audioCodec = ClipAudioCodec::aac;
        original_ = dir_.path / "page.mp4";
        test::writeClip(original_, format, [this](int) { return page_.clone(); });

        for (const cv::Rect& ink : {mail, phone}) {
            const cv::Rect around = ink + cv::Size(12, 12) - cv::Point(6, 6);
            DetectedRegion region;
            region.rect = {double(around.x) / kWidth, double(around.y) / kHeight, double(around.width) / kWidth,
                           double(around.height) / kHeight};
            region.selections.push_back({{0, 0, 1, 1}, RedactionKind::all, "line"});
            region.trackID = static_cast<std::int64_t>(masks_.samples.empty() ? 1 : 2);
            if (masks_.samples.empty())
                masks_.samples.push_back({0, 0, {}});
            masks_.samples[0].regions.push_back(region);
        }
        masks_.duration = 1;
        masks_.sampleCount = 1;
        masks_.totalRegions = 2;
    }

    CopyCheck checkExport(const RenderSettings& style, const std::string& name)
    {
        const fs::path copy = dir_.path / name;
        VideoExporter::exportVideo(original_, copy, masks_, style, {});
        const TextRecognizer recognizer(engine_);
        const CopyVerifier verifier([&recognizer](const fs::path& video, const ScanSettings& settings,
                                                  const ScanProgressCallback& progress, std::stop_token stop) {
            const VideoScanner reader(
                [&recognizer](const Image& raster, const Image&, const ScanSettings& s) {
                    return recognizer.recognize(raster, s);
                },
                [](const TrackingFrames&, const std::vector<DetectionSample>& samples,
                   const std::vector<std::optional<MotionTransform>>&, const ScanProgressCallback&,
                   std::stop_token) { return samples; });
            return reader.scan(video, settings, progress, stop);
        });
        return verifier.check(original_, copy, settings(), {});
    }

    static ScanSettings settings()
    {
        ScanSettings settings;
        settings.confidence = 0.3F;
        settings.blurEmails = true;
        settings.blurPhones = true;
        settings.blurHan = true;
        return settings;
    }

    Workspace dir_;
    cv::Mat page_;
    fs::path original_;
    ScanResult masks_;
};

TEST_F(CopyVerifierReading, FindsTextAWeakStyleLeavesReadable)
{
    RenderSettings pixelated = startingRenderSettings();
    pixelated.style = MaskStyle::pixelate;
    pixelated.pixelSize = 2;
    RenderSettings blurred = startingRenderSettings();
    blurred.style = MaskStyle::blur;
    blurred.blurRadius = 1;
    for (const auto& [style, name] : {std::pair{pixelated, "pixel-2.mp4"}, std::pair{blurred, "blur-1.mp4"}}) {
        const CopyCheck check = checkExport(style, name);
        SCOPED_TRACE(name);
        EXPECT_FALSE(check.clean());
        EXPECT_TRUE(check.differences.empty()) << "the masks are the only change";
        EXPECT_EQ(check.framesRead, 6);
        EXPECT_EQ(check.framesWithReadableText(), 6);
        const auto email = std::find_if(check.readable.begin(), check.readable.end(),
                                        [](const ReadableText& t) { return t.kind == RedactionKind::email; });
        ASSERT_NE(email, check.readable.end());
        EXPECT_NE(email->text.find('@'), std::string::npos) << email->text;
        EXPECT_GT(email->box.width, 0.2) << "the box is where the address is";
        EXPECT_LT(email->box.y, 0.5);
        const auto moments = check.moments();
        ASSERT_FALSE(moments.empty());
        EXPECT_EQ(moments.front().frameCount, 6) << "one still page is one moment per kind";
    }
}

TEST_F(CopyVerifierReading, PassesTheDefaultStyle)
{
    const CopyCheck check = checkExport(startingRenderSettings(), "default.mp4");
    EXPECT_TRUE(check.clean()) << (check.readable.empty() ? check.differences.front() : check.readable.front().text);
    EXPECT_EQ(check.framesRead, 6);
    EXPECT_EQ(check.frameWidth, kWidth);
    EXPECT_EQ(check.frameHeight, kHeight);
}

} // namespace
} // namespace scrivel
