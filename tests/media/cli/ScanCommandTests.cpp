// scrivel-cli scan and redact, run as a user runs them.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ScrivelCore/Json.hpp"
#include "ScrivelCore/SavedReview.hpp"
#include "recognition/OcrEngine.hpp"
#include "support/ClipWriter.hpp"
#include "support/RenderedText.hpp"

namespace scrivel {
namespace {

namespace fs = std::filesystem;

// Built beside the tests: <build>/ScrivelCli/scrivel-cli.
fs::path cliPath()
{
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "ScrivelCli" / "scrivel-cli";
}

std::string readAll(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

struct CliRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

CliRun runCli(std::vector<std::string> arguments, const fs::path& folder)
{
    const std::string out = (folder / "cli.out").string(), err = (folder / "cli.err").string();
    const pid_t child = fork();
    if (child == 0) {
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
        arguments.insert(arguments.begin(), cliPath().string());
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        // The command's own temporary files go to the test's folder, where
        // the test can look for leftovers without seeing other processes'.
        setenv("TMPDIR", (folder / "tmp").c_str(), 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readAll(out), readAll(err)};
}

// A still notes window with an e-mail address, six identical frames.
struct MailClip {
    test::TemporaryFile file{".mp4"};
    MailClip()
    {
        testing::TextCanvas canvas(640, 360, {255, 255, 255});
        canvas.draw("Contact: jane.doe@example.com", {40, 120}, 30, testing::Font::sans, {32, 32, 32});
        canvas.draw("Weekly review notes", {40, 200}, 30, testing::Font::sans, {32, 32, 32});
        test::ClipSpec format;
        format.width = 640;
        format.height = 360;
        format.frameCount = 6;
        format.h264Crf = 0;
        const cv::Mat frame = canvas.image().pixels;
        test::writeClip(file.path, format, [&](int) { return frame.clone(); });
    }
};

// Why recognition cannot run here, or nothing when the models are found.
std::string missingModels()
{
    try {
        OcrEngine::locateModels();
        return {};
    } catch (const std::exception& error) {
        return error.what();
    }
}

class ScanCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!fs::exists(cliPath()))
            GTEST_SKIP() << "scrivel-cli is not built at " << cliPath();
        folder = fs::temp_directory_path() / ("scrivel-scan-cli-" + std::to_string(getpid()));
        fs::create_directories(folder / "tmp");
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    fs::path folder;
};

// Argument mistakes are found before any frame is read.
TEST_F(ScanCommand, UsageErrorsComeBeforeScanning)
{
    const MailClip clip;
    const std::string video = clip.file.path.string();
    const std::string out = (folder / "out.mp4").string();
    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
        std::string message;
    };
    const std::vector<Case> cases{
        {{"scan"}, 2, "missing VIDEO"},
        {{"scan", video, "--quality", "slow"}, 2, "--quality takes fast, balanced or precise, not 'slow'"},
        {{"scan", video, "--confidence", "1.5"}, 2, "--confidence takes a number from 0 to 1"},
        {{"scan", video, "--term", ""}, 2, "--term needs a non-empty text"},
        {{"scan", video, "--style", "blur"}, 2, "unknown option --style"},
        {{"redact", video}, 2, "missing -o OUT.mp4"},
        {{"redact", video, "-o", out, "--styel", "blur"}, 2, "unknown option --styel"},
        {{"redact", video, "-o", out, "--result", "scan.json"}, 2, "use export to draw a saved one"},
        {{"redact", video, "-o", video}, 1, "Choose a different output file to keep the original recording safe."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.size() > 1 ? c.arguments[0] + " " + c.arguments.back() : c.arguments[0]);
        const CliRun run = runCli(c.arguments, folder);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(fs::exists(out));
    }
    const CliRun help = runCli({"redact", "--help"}, folder);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("with no kind given: --emails --phones --han"), std::string::npos);
    EXPECT_NE(help.out.find("--full-recognition"), std::string::npos);
}

// With no kind given e-mails are hidden; choosing only phones leaves the
// address alone. redact writes the copy and counts what it masked.
TEST_F(ScanCommand, ScanAndRedactASmallRecording)
{
    if (const std::string missing = missingModels(); !missing.empty())
        GTEST_SKIP() << missing;
    const MailClip clip;
    const std::string video = clip.file.path.string();

    const CliRun scan = runCli({"scan", video, "--quality", "fast"}, folder);
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    const ScanResult result = decodeText<ScanResult>(scan.out);
    EXPECT_EQ(result.sampleCount, 6);
    ASSERT_EQ(result.samples.size(), 6u);
    for (const DetectionSample& sample : result.samples) {
        std::vector<std::string> masked;
        for (const DetectedRegion& region : sample.regions)
            for (const TextSelection& selection : region.selections)
                masked.push_back(std::string(rawValue(selection.kind)) + ":" + selection.text);
        EXPECT_EQ(masked, std::vector<std::string>{"email:jane.doe@example.com"});
    }
    EXPECT_NE(scan.err.find("Tracking text motion"), std::string::npos);

    const fs::path saved = folder / "phones.json";
    // Recognizing every frame from scratch finds the same lines here.
    const CliRun phonesOnly =
        runCli({"scan", video, "--phones", "--quality", "fast", "--full-recognition", "-o", saved.string()}, folder);
    ASSERT_EQ(phonesOnly.exitCode, 0) << phonesOnly.err;
    EXPECT_EQ(phonesOnly.out, "");
    const ScanResult phones = decodeText<ScanResult>(readAll(saved));
    EXPECT_EQ(phones.sampleCount, 6);
    for (const DetectionSample& sample : phones.samples) {
        EXPECT_EQ(sample.regions.size(), result.samples[0].regions.size());
        for (const DetectedRegion& region : sample.regions)
            EXPECT_TRUE(region.selections.empty()) << region.text;
    }

    const fs::path out = folder / "redacted.mp4";
    const CliRun redact = runCli({"redact", video, "-o", out.string(), "--quality", "fast", "--style", "solid"}, folder);
    ASSERT_EQ(redact.exitCode, 0) << redact.err;
    EXPECT_TRUE(fs::exists(out));
    EXPECT_NE(redact.out.find(out.string()), std::string::npos);
    EXPECT_NE(redact.out.find("masked 6 regions (6 masks) in 6 of 6 frames, "), std::string::npos) << redact.out;
    // The scan result of a redact run is temporary unless kept.
    EXPECT_TRUE(fs::is_empty(folder / "tmp"));
}

// With --verify the copy is read again: a style too weak to hide the address
// keeps the copy but fails the run, saying where the copy is and what shows.
TEST_F(ScanCommand, RedactVerifiesItsCopy)
{
    if (const std::string missing = missingModels(); !missing.empty())
        GTEST_SKIP() << missing;
    const MailClip clip;
    const std::string video = clip.file.path.string();

    const fs::path weak = folder / "weak.mp4";
    const CliRun shows = runCli(
        {"redact", video, "-o", weak.string(), "--quality", "fast", "--style", "pixelate", "--pixel-size", "2", "--verify"},
        folder);
    EXPECT_EQ(shows.exitCode, 3) << shows.err;
    EXPECT_TRUE(fs::exists(weak)) << "the copy is kept for a look";
    EXPECT_NE(shows.err.find("e-mail address \"jane.doe@example.com\" (6 frames)"), std::string::npos) << shows.err;
    EXPECT_NE(shows.err.find("kept at " + weak.string()), std::string::npos) << shows.err;

    const fs::path safe = folder / "safe.mp4";
    const fs::path report = folder / "check.json";
    const CliRun clean =
        runCli({"redact", video, "-o", safe.string(), "--quality", "fast", "--verify", "--report", report.string()},
               folder);
    EXPECT_EQ(clean.exitCode, 0) << clean.err;
    const Json check = Json::parse(readAll(report));
    EXPECT_EQ(check["clean"], true);
    EXPECT_EQ(check["framesRead"], 6);
    EXPECT_EQ(check["redacted"], safe.string());
}

// A review saved by scan renders as its scan result would, with the review's
// own exclusions, and only onto the recording it was made from.
TEST_F(ScanCommand, SavedReviewRendersOnlyOntoItsVideo)
{
    if (const std::string missing = missingModels(); !missing.empty())
        GTEST_SKIP() << missing;
    const MailClip clip;
    const std::string video = clip.file.path.string();
    const fs::path reviewFile = folder / "notes.scrivel";

    const CliRun scan = runCli({"scan", video, "--quality", "fast", "--term", "Weekly", "--save-review",
                                reviewFile.string()},
                               folder);
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    EXPECT_EQ(scan.out, "") << "the review holds the result";
    const SavedReview review = readReviewFile(reviewFile);
    EXPECT_EQ(review.video.path, fs::absolute(video).lexically_normal().string());
    EXPECT_EQ(review.video.sizeBytes, static_cast<std::int64_t>(fs::file_size(video)));
    EXPECT_EQ(review.scanSettings.customTerms, std::vector<std::string>{"Weekly"});
    EXPECT_TRUE(review.scanSettings.blurEmails);
    EXPECT_EQ(review.renderSettings, startingRenderSettings());
    ASSERT_EQ(review.scanResult.sampleCount, 6);

    // Exclude the term's track in the review, as the app would save it.
    std::optional<std::int64_t> termTrack;
    for (const DetectedRegion& region : review.scanResult.samples[0].regions)
        for (const TextSelection& selection : region.selections)
            if (selection.kind == RedactionKind::custom)
                termTrack = region.trackID;
    ASSERT_TRUE(termTrack) << "the term was found";
    SavedReview edited = review;
    edited.renderSettings.style = MaskStyle::solid;
    edited.renderSettings.excludedTrackIDs = {*termTrack};
    writeReviewFile(reviewFile, edited);
    const fs::path resultFile = folder / "scan.json";
    std::ofstream(resultFile) << toJson(review.scanResult).dump();

    const fs::path fromReview = folder / "review.mp4", fromResult = folder / "result.mp4";
    const CliRun reviewed = runCli({"export", video, "--review", reviewFile.string(), "-o", fromReview.string()}, folder);
    ASSERT_EQ(reviewed.exitCode, 0) << reviewed.err;
    const CliRun direct = runCli({"export", video, "--result", resultFile.string(), "-o", fromResult.string(),
                                  "--style", "solid", "--exclude-track", std::to_string(*termTrack)},
                                 folder);
    ASSERT_EQ(direct.exitCode, 0) << direct.err;
    EXPECT_EQ(readAll(fromReview), readAll(fromResult)) << "the same masks, style and exclusions";
    const CliRun unexcluded = runCli({"export", video, "--result", resultFile.string(), "-o",
                                      (folder / "all.mp4").string(), "--style", "solid"},
                                     folder);
    ASSERT_EQ(unexcluded.exitCode, 0) << unexcluded.err;
    EXPECT_NE(readAll(folder / "all.mp4"), readAll(fromResult)) << "the exclusion made a difference";

    // A copy of the recording elsewhere is the same video; a changed one is not.
    const fs::path moved = folder / "moved.mp4";
    fs::copy_file(video, moved);
    const CliRun copied = runCli({"export", moved.string(), "--review", reviewFile.string(), "-o",
                                  (folder / "copy.mp4").string()},
                                 folder);
    EXPECT_EQ(copied.exitCode, 0) << copied.err;
    std::ofstream(moved, std::ios::app | std::ios::binary) << '\0';
    const fs::path refusedOut = folder / "refused.mp4";
    const CliRun changed = runCli({"export", moved.string(), "--review", reviewFile.string(), "-o",
                                   refusedOut.string()},
                                  folder);
    EXPECT_EQ(changed.exitCode, 1);
    EXPECT_NE(changed.err.find("is not the one this review was made from: its size is"), std::string::npos)
        << changed.err;
    EXPECT_FALSE(fs::exists(refusedOut));
}

} // namespace
} // namespace scrivel
