// The destination side of an export going wrong: a folder the user may not
// write, a disk that fills up, a folder where the file should go, and names
// with spaces and non-ASCII characters. A failed export shows the system's
// message, leaves no temporary folder and leaves an existing destination
// file as it was; the source never changes.
//
// Permissions mean nothing to root, so those cases run in a forked child
// that drops to the unprivileged user "nobody" when the tests run as root.
// Resource limits and mounts are process-wide, so those run in a child too.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ScrivelCore/Errors.hpp"
#include "ScrivelCore/Json.hpp"
#include "decode/MediaInspector.hpp"
#include "export/VideoExporter.hpp"
#include "decode/VideoFrames.hpp"
#include "support/ClipWriter.hpp"
#include "support/FaultyMedia.hpp"

namespace scrivel {
namespace {

namespace fs = std::filesystem;
using test::ScratchFolder;

constexpr const char* kPreviousExport = "previous export";
constexpr uid_t kNobody = 65534;

std::string contents(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void writeText(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string messageOf(const std::function<void()>& call)
{
    try {
        call();
        return "";
    } catch (const std::exception& error) {
        return error.what();
    }
}

// What the user saw, for the test report (--gtest_output=xml).
void record(const Json& report)
{
    for (const auto& [key, value] : report.items())
        ::testing::Test::RecordProperty(key, value.is_string() ? value.get<std::string>() : value.dump());
}

// A second of scrolling text with sound: an export of it is some hundreds
// of kilobytes, more than the small limits below allow.
fs::path makeSource(const fs::path& path)
{
    test::ClipSpec format;
    format.width = 320;
    format.height = 240;
    format.frameCount = 30;
    format.audioCodec = test::ClipAudioCodec::aac;
    const cv::Mat page = test::textPage(320, 1200);
    test::writeClip(path, format, [&](int i) { return test::scrolledView(page, {320, 240}, 0, 20 * i); });
    return path;
}

ScanResult scanOverTopLine()
{
    DetectedRegion region;
    region.rect = {0.05, 0.05, 0.6, 0.1};
    region.selections.push_back({{0, 0, 1, 1}, RedactionKind::all, "line"});
    region.trackID = 1;
    ScanResult result;
    result.duration = 1;
    result.frameRate = 30;
    result.sampleCount = 1;
    result.totalRegions = 1;
    result.samples.push_back({0, 0, {region}});
    return result;
}

RenderSettings blur()
{
    return startingRenderSettings();
}

void exportTo(const fs::path& source, const fs::path& output)
{
    VideoExporter::exportVideo(source, output, scanOverTopLine(), blur(), {});
}

// Runs `body` in a forked child and returns the JSON it reports. The child
// never returns into the test runner; an escaping exception or a crash is
// reported as such.
struct ChildOutcome {
    bool crashed = false;
    Json report;
};

ChildOutcome inChild(const std::function<Json()>& body)
{
    int channel[2];
    if (pipe(channel) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        close(channel[0]);
        std::string text;
        try {
            text = body().dump();
        } catch (const std::exception& error) {
            text = Json{{"escaped", error.what()}}.dump();
        }
        const char* data = text.data();
        std::size_t left = text.size();
        while (left > 0) {
            const ssize_t written = write(channel[1], data, left);
            if (written <= 0)
                break;
            data += written;
            left -= static_cast<std::size_t>(written);
        }
        close(channel[1]);
        _exit(0);
    }
    close(channel[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(channel[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ChildOutcome outcome;
    outcome.crashed = !WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty();
    if (!outcome.crashed)
        outcome.report = Json::parse(text);
    return outcome;
}

// In a child: give up root, so that permissions apply. Returns false when
// that is not possible.
bool actAsOrdinaryUser()
{
    if (geteuid() != 0)
        return true;
    return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
}

class ExportFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        source = makeSource(folder.path / "source.mp4");
        sourceDigest = test::fileDigest(source);
    }
    void TearDown() override
    {
        EXPECT_EQ(test::fileDigest(source), sourceDigest) << "the source changed";
    }

    ScratchFolder folder;
    fs::path source;
    std::string sourceDigest;
};

// Opens the scratch folder to everyone, so that a child acting as "nobody"
// reaches what the test set up in it.
void openToEveryone(const fs::path& path)
{
    fs::permissions(path, fs::perms::all);
}

constexpr fs::perms kReadOnlyFolder = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;

TEST_F(ExportFaults, DestinationFolderNotWritableFailsWithTheSystemMessage)
{
    const fs::path locked = folder.path / "locked";
    fs::create_directory(locked);
    writeText(locked / "out.mp4", kPreviousExport);
    openToEveryone(folder.path);
    fs::permissions(locked, kReadOnlyFolder);

    const ChildOutcome outcome = inChild([&] {
        if (!actAsOrdinaryUser())
            return Json{{"skip", "cannot drop root privileges"}};
        return Json{{"message", messageOf([&] { exportTo(source, locked / "out.mp4"); })}};
    });
    ASSERT_FALSE(outcome.crashed);
    record(outcome.report);
    if (outcome.report.contains("skip"))
        GTEST_SKIP() << outcome.report["skip"].get<std::string>();
    EXPECT_EQ(outcome.report.value("message", ""), locked.string() + ": Permission denied");
    EXPECT_EQ(contents(locked / "out.mp4"), kPreviousExport);
    EXPECT_EQ(test::entriesBesides(locked, {"out.mp4"}), std::vector<std::string>{});
}

TEST_F(ExportFaults, UnreadableSourceFailsWithTheSystemMessageAtEveryStage)
{
    writeText(folder.path / "out.mp4", kPreviousExport);
    openToEveryone(folder.path);
    fs::permissions(source, fs::perms::none);

    const ChildOutcome outcome = inChild([&] {
        if (!actAsOrdinaryUser())
            return Json{{"skip", "cannot drop root privileges"}};
        return Json{{"inspect", messageOf([&] { MediaInspector::inspect(source); })},
                    {"frames", messageOf([&] { VideoFrames frames(source); })},
                    {"export", messageOf([&] { exportTo(source, folder.path / "out.mp4"); })}};
    });
    fs::permissions(source, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_FALSE(outcome.crashed);
    record(outcome.report);
    if (outcome.report.contains("skip"))
        GTEST_SKIP() << outcome.report["skip"].get<std::string>();
    const std::string denied = source.string() + ": Permission denied";
    for (const char* stage : {"inspect", "frames", "export"})
        EXPECT_EQ(outcome.report.value(stage, ""), denied) << stage;
    EXPECT_EQ(contents(folder.path / "out.mp4"), kPreviousExport);
    EXPECT_EQ(folder.strays({"source.mp4", "out.mp4"}), std::vector<std::string>{});
}

// A file-size limit makes every write past it fail with EFBIG, the way a
// quota or a full disk fails a write midway; it needs no privileges.
TEST_F(ExportFaults, WritesFailingMidwayEndTheExportWithTheSystemMessage)
{
    const fs::path output = folder.path / "out.mp4";
    writeText(output, kPreviousExport);
    const ChildOutcome outcome = inChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{24 * 1024, 24 * 1024};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return Json{{"skip", "cannot limit file sizes"}};
        return Json{{"message", messageOf([&] { exportTo(source, output); })}};
    });
    ASSERT_FALSE(outcome.crashed);
    record(outcome.report);
    if (outcome.report.contains("skip"))
        GTEST_SKIP() << outcome.report["skip"].get<std::string>();
    const std::string message = outcome.report.value("message", "");
    EXPECT_EQ(message.rfind("Export failed: ", 0), 0u) << message;
    EXPECT_NE(message.find(std::strerror(EFBIG)), std::string::npos) << message;
    EXPECT_EQ(contents(output), kPreviousExport);
    EXPECT_EQ(folder.strays({"source.mp4", "out.mp4"}), std::vector<std::string>{});
}

// A real small file system: a 64 KiB tmpfs, mounted in a private mount
// namespace of the child so that nothing outlives the test. Needs the
// right to mount (root with CAP_SYS_ADMIN); skipped elsewhere.
TEST_F(ExportFaults, FullFileSystemEndsTheExportWithTheSystemMessage)
{
    const fs::path small = folder.path / "small";
    fs::create_directory(small);
    const ChildOutcome outcome = inChild([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0)
            return Json{{"skip", std::string("cannot mount a tmpfs: ") + std::strerror(errno)}};
        writeText(small / "out.mp4", kPreviousExport);
        const std::string message = messageOf([&] { exportTo(source, small / "out.mp4"); });
        return Json{{"message", message},
                    {"destination", contents(small / "out.mp4")},
                    {"strays", test::entriesBesides(small, {"out.mp4"})}};
    });
    ASSERT_FALSE(outcome.crashed);
    record(outcome.report);
    if (outcome.report.contains("skip"))
        GTEST_SKIP() << outcome.report["skip"].get<std::string>();
    const std::string message = outcome.report.value("message", "");
    EXPECT_EQ(message.rfind("Export failed: ", 0), 0u) << message;
    EXPECT_NE(message.find(std::strerror(ENOSPC)), std::string::npos) << message;
    EXPECT_EQ(outcome.report["destination"], kPreviousExport);
    EXPECT_EQ(outcome.report["strays"], Json::array());
}

TEST_F(ExportFaults, DestinationThatIsAFolderIsRefusedBeforeEncoding)
{
    for (const bool withContent : {false, true}) {
        const fs::path target = folder.path / (withContent ? "full folder" : "empty folder");
        fs::create_directory(target);
        if (withContent)
            writeText(target / "keep.txt", "kept");
        const auto started = std::chrono::steady_clock::now();
        const std::string message = messageOf([&] { exportTo(source, target); });
        record({{target.filename().string(), message}});
        EXPECT_EQ(message, target.string() + ": " + std::strerror(EISDIR));
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2)) << "refused before encoding";
        EXPECT_TRUE(fs::is_directory(target));
        EXPECT_EQ(test::entriesBesides(target, {"keep.txt"}), std::vector<std::string>{});
        if (withContent) {
            EXPECT_EQ(contents(target / "keep.txt"), "kept");
        }
    }
    EXPECT_EQ(folder.strays({"source.mp4", "empty folder", "full folder"}), std::vector<std::string>{});
}

TEST_F(ExportFaults, PathsWithSpacesAndNonAsciiCharactersWork)
{
    const fs::path place = folder.path / "Aufnahmen f\u00fcr Zo\u00eb \u5f55\u5c4f";
    fs::create_directory(place);
    const fs::path namedSource = place / "screen recording \u00e9t\u00e9 \u7247\u6bb5.mp4";
    fs::copy_file(source, namedSource);
    const fs::path output = place / "redacted copy \u2013 \u00e9 \u7247\u6bb5 (1).mp4";
    writeText(output, kPreviousExport);

    const VideoInfo info = MediaInspector::inspect(namedSource);
    EXPECT_EQ(info.displayName, namedSource.filename().string());
    exportTo(namedSource, output);
    const auto streams = test::summarize(output);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_TRUE(streams[0].video);
    EXPECT_EQ(streams[0].packetDigests.size(), 30u) << "every frame written";
    EXPECT_EQ(streams[1].packetDigests, test::summarize(namedSource)[1].packetDigests) << "audio carried over";
    EXPECT_EQ(test::fileDigest(namedSource), sourceDigest);
    EXPECT_EQ(test::entriesBesides(place, {namedSource.filename().string(), output.filename().string()}),
              std::vector<std::string>{});
}

} // namespace
} // namespace scrivel
