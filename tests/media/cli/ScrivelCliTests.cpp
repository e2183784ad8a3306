#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ScrivelCore/Json.hpp"
#include "support/ClipWriter.hpp"

namespace scrivel {
namespace {

namespace fs = std::filesystem;

// The tool is built beside the tests: <build>/ScrivelCli/scrivel-cli.
fs::path cliPath()
{
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "ScrivelCli" / "scrivel-cli";
}

std::string readAll(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void writeText(const fs::path& path)
{
    std::ofstream(path) << "not a video";
}

struct Workspace {
    Workspace()
    {
        std::string pattern = (fs::temp_directory_path() / "scrivel-cli-test-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~Workspace()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::size_t entries() const { return static_cast<std::size_t>(std::distance(fs::directory_iterator(path), {})); }
    fs::path path;
};

struct CliRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Starts the tool with stdout and stderr going to files in `folder`.
pid_t start(const std::vector<std::string>& arguments, const fs::path& folder)
{
    const std::string out = (folder / "cli.out").string(), err = (folder / "cli.err").string();
    const pid_t child = fork();
    if (child == 0) {
        const int outFile = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFile = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(outFile, STDOUT_FILENO);
        dup2(errFile, STDERR_FILENO);
        std::vector<std::string> all{cliPath().string()};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : all)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

CliRun finish(pid_t child, const fs::path& folder)
{
    int status = 0;
    waitpid(child, &status, 0);
    CliRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = readAll(folder / "cli.out");
    run.err = readAll(folder / "cli.err");
    fs::remove(folder / "cli.out");
    fs::remove(folder / "cli.err");
    return run;
}

CliRun runCli(const std::vector<std::string>& arguments, const fs::path& folder)
{
    return finish(start(arguments, folder), folder);
}

// One mask over the upper left quarter, from t = 0.
void writeScan(const fs::path& path)
{
    const Json region = {{"rect", {{"x", 0.0}, {"y", 0.0}, {"width", 0.5}, {"height", 0.5}}},
                         {"confidence", 0.9},
                         {"text", "secret"},
                         {"selections", Json::array({{{"rect", {{"x", 0.0}, {"y", 0.0}, {"width", 1.0}, {"height", 1.0}}},
                                                      {"kind", "all"},
                                                      {"text", "secret"}}})},
                         {"trackID", 1},
                         {"backgroundColor", 0}};
    const Json scan = {{"duration", 1.0},      {"frameRate", 24.0}, {"sampleCount", 1}, {"totalRegions", 1},
                       {"samples", Json::array({{{"time", 0.0}, {"sceneID", 0}, {"regions", Json::array({region})}}})}};
    std::ofstream(path) << scan.dump();
}

class ScrivelCli : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!fs::exists(cliPath()))
            GTEST_SKIP() << "scrivel-cli is not built at " << cliPath();
    }
};

TEST_F(ScrivelCli, HelpAndUsageErrors)
{
    Workspace dir;
    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
        std::string inOutput; // expected in stdout (exit 0) or stderr
    };
    const std::vector<Case> cases = {
        {{}, 2, "usage: scrivel-cli"},
        {{"--help"}, 0, "export"},
        {{"help", "inspect"}, 0, "usage: scrivel-cli inspect VIDEO"},
        {{"inspect", "--help"}, 0, "usage: scrivel-cli inspect VIDEO"},
        {{"export", "--help"}, 0, "--blur-radius"},
        {{"frobnicate"}, 2, "unknown command"},
        {{"inspect"}, 2, "missing VIDEO"},
        {{"inspect", "--fast", "a.mp4"}, 2, "unknown option --fast"},
        {{"export", "a.mp4", "--result", "s.json"}, 2, "missing -o"},
        {{"export", "a.mp4", "--result", "s.json", "-o", "b.mp4", "--opacity", "half"}, 2, "not a number"},
        {{"export", "a.mp4", "--result", "s.json", "-o", "b.mp4", "--style", "fog"}, 2, "--style"},
        {{"export", "a.mp4", "--result", "s.json", "-o", "b.mp4", "--padding", "1,2,3"}, 2, "4 comma-separated"},
        {{"export", "a.mp4", "--result", "s.json", "-o", "b.mp4", "--color", "12345"}, 2, "RRGGBB"},
        {{"verify", "a.mp4"}, 2, "missing REDACTED"},
        {{"verify", "a.mp4", "b.mp4", "c.mp4"}, 2, "two videos"},
        {{"redact", "a.mp4", "-o", "b.mp4", "--jobs", "2"}, 2, "--jobs needs --batch"},
        {{"redact", "a.mp4", "--batch", "list.txt", "-o", "out"}, 2, "not both"},
        {{"redact", "--batch", "list.txt", "-o", "out", "--save-result", "r.json"}, 2, "--save-result"},
        {{"redact", "--batch", "list.txt", "-o", "out", "--jobs", "0"}, 2, "--jobs takes"},
        {{"export", "a.mp4", "--review", "r.scrivel", "--result", "s.json", "-o", "b.mp4"}, 2, "cannot be combined"},
        {{"export", "a.mp4", "--review", "r.scrivel", "-o", "b.mp4", "--style", "solid"}, 2,
         "mask options cannot be combined with --review"},
        {{"export", "a.mp4", "-o", "b.mp4"}, 2, "missing --result SCAN.json or --review REVIEW.scrivel"},
        {{"export", "a.mp4", "--review", "r.scrivel", "-o", "b.mp4"}, 1, "The review r.scrivel cannot be read"},
    };
    for (const Case& c : cases) {
        const CliRun run = runCli(c.arguments, dir.path);
        std::string joined;
        for (const auto& argument : c.arguments)
            joined += argument + " ";
        EXPECT_EQ(run.exitCode, c.exitCode) << joined << "\n" << run.err;
        const std::string& text = c.exitCode == 0 ? run.out : run.err;
        EXPECT_NE(text.find(c.inOutput), std::string::npos) << joined << "\n" << text;
    }
}

TEST_F(ScrivelCli, InspectAndExport)
{
    Workspace dir;
    test::ClipSpec format;
    format.width = 160;
    format.height = 96;
    format.frameCount = 12;
    format.frameRate = 24;
    const fs::path video = dir.path / "clip.mp4";
    test::writeClip(video, format, [&](int) { return test::flatFrame({160, 96}, {200, 200, 200}); });
    writeScan(dir.path / "scan.json");
    writeText(dir.path / "notes.mp4");

    const CliRun inspect = runCli({"inspect", video.string()}, dir.path);
    ASSERT_EQ(inspect.exitCode, 0) << inspect.err;
    const Json info = Json::parse(inspect.out);
    EXPECT_EQ(info["width"], 160);
    EXPECT_EQ(info["height"], 96);
    EXPECT_EQ(info["displayName"], "clip.mp4");

    const CliRun notVideo = runCli({"inspect", (dir.path / "notes.mp4").string()}, dir.path);
    EXPECT_EQ(notVideo.exitCode, 1);
    EXPECT_NE(notVideo.err.find("The selected file does not contain a readable video track."), std::string::npos);

    const std::string scan = (dir.path / "scan.json").string();
    const CliRun exported = runCli({"export", video.string(), "--result", scan, "-o", (dir.path / "out.mp4").string(),
                                 "--style", "pixelate", "--pixel-size", "8", "--mask", "0.5,0.5,0.25,0.25,0,0.5"},
                                dir.path);
    EXPECT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_TRUE(fs::exists(dir.path / "out.mp4"));
    EXPECT_NE(exported.err.find("100%"), std::string::npos) << "percentage lines when stderr is not a terminal";

    const CliRun ontoSource = runCli({"export", video.string(), "--result", scan, "-o", video.string()}, dir.path);
    EXPECT_EQ(ontoSource.exitCode, 1);
    EXPECT_NE(ontoSource.err.find("Choose a different output file to keep the original recording safe."),
              std::string::npos);

    const CliRun badSettings = runCli(
        {"export", video.string(), "--result", scan, "-o", (dir.path / "x.mp4").string(), "--opacity", "1.5"}, dir.path);
    EXPECT_EQ(badSettings.exitCode, 1);
    EXPECT_NE(badSettings.err.find("Invalid mask settings."), std::string::npos);
    const CliRun lateMask = runCli({"export", video.string(), "--result", scan, "-o", (dir.path / "x.mp4").string(),
                                 "--mask", "0,0,0.5,0.5,0,5"},
                                dir.path);
    EXPECT_EQ(lateMask.exitCode, 1) << "a manual mask may not end after the video";
    EXPECT_FALSE(fs::exists(dir.path / "x.mp4"));
}

TEST_F(ScrivelCli, InterruptCancelsAndLeavesNothing)
{
    Workspace dir;
    test::ClipSpec format;
    format.width = 640;
    format.height = 360;
    format.frameCount = 240;
    format.frameRate = 24;
    format.gopSize = 24;
    const fs::path video = dir.path / "clip.mp4";
    const cv::Mat page = test::textPage(640, 360 + 240 * 4, 5);
    test::writeClip(video, format, [&](int index) { return test::scrolledView(page, {640, 360}, 0, index * 4); });
    writeScan(dir.path / "scan.json");
    const std::size_t before = dir.entries();

    const pid_t child = start({"export", video.string(), "--result", (dir.path / "scan.json").string(), "-o",
                               (dir.path / "out.mp4").string()},
                              dir.path);
    // Interrupt once the export has reported its first progress.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (readAll(dir.path / "cli.err").find("Exporting") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    kill(child, SIGINT);
    const CliRun run = finish(child, dir.path);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find("Operation cancelled."), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir.path / "out.mp4"));
    EXPECT_EQ(dir.entries(), before) << "no temporary folder is left";
}

std::vector<Json> jsonLines(const std::string& text)
{
    std::vector<Json> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(Json::parse(line)); // a partial line fails the test here
    return lines;
}

fs::path writeFlatClip(const fs::path& path, int frameCount)
{
    test::ClipSpec format;
    format.width = 160;
    format.height = 96;
    format.frameCount = frameCount;
    format.frameRate = 24;
    format.audioCodec = test::ClipAudioCodec::aac;
    test::writeClip(path, format, [&](int index) {
        cv::Mat frame = test::flatFrame({160, 96}, {220, 220, 220});
        frame.at<cv::Vec3b>(index % 96, 0) = {0, 0, 0}; // no two frames alike
        return frame;
    });
    return path;
}

TEST_F(ScrivelCli, VerifyReportsAndExitsByVerdict)
{
    Workspace dir;
    const fs::path original = writeFlatClip(dir.path / "a.mp4", 12);
    const fs::path shorter = writeFlatClip(dir.path / "short.mp4", 10);

    const CliRun same = runCli({"verify", original.string(), original.string()}, dir.path);
    ASSERT_EQ(same.exitCode, 0) << same.err;
    const Json report = Json::parse(same.out);
    EXPECT_EQ(report["clean"], true);
    EXPECT_EQ(report["framesRead"], 12);
    EXPECT_NE(same.err.find("No readable text to hide found in the 12 frames"), std::string::npos) << same.err;

    const fs::path reportPath = dir.path / "report.json";
    const CliRun differs =
        runCli({"verify", original.string(), shorter.string(), "--report", reportPath.string()}, dir.path);
    EXPECT_EQ(differs.exitCode, 3) << differs.err;
    EXPECT_TRUE(differs.out.empty()) << "the report went to its file";
    EXPECT_NE(differs.err.find("not a faithful copy"), std::string::npos) << differs.err;
    const Json written = Json::parse(readAll(reportPath));
    EXPECT_EQ(written["faithful"], false);
    ASSERT_FALSE(written["differences"].empty());
    EXPECT_NE(written["differences"][0].get<std::string>().find("10 frames"), std::string::npos);

    writeText(dir.path / "notes.mp4");
    const CliRun broken = runCli({"verify", original.string(), (dir.path / "notes.mp4").string()}, dir.path);
    EXPECT_EQ(broken.exitCode, 1) << "a check that cannot be made is an error, not a verdict";
}

TEST_F(ScrivelCli, BatchReportsABrokenInputAndSkipsFinishedCopies)
{
    Workspace dir, recordings, copies;
    writeFlatClip(recordings.path / "a.mp4", 8);
    writeText(recordings.path / "b.mov");
    writeFlatClip(recordings.path / "c.m4v", 8);
    const fs::path report = dir.path / "batch.jsonl";
    const std::vector<std::string> batch = {"redact", "--batch", recordings.path.string(), "-o", copies.path.string(),
                                            "--report", report.string(), "--verify"};

    const CliRun first = runCli(batch, dir.path);
    EXPECT_EQ(first.exitCode, 1) << "one recording failed\n" << first.err;
    const std::vector<Json> lines = jsonLines(readAll(report));
    ASSERT_EQ(lines.size(), 3U);
    EXPECT_EQ(lines[0]["status"], "redacted");
    EXPECT_EQ(lines[0]["verify"]["clean"], true);
    EXPECT_EQ(lines[1]["status"], "failed");
    EXPECT_EQ(lines[1]["error"], "The selected file does not contain a readable video track.");
    EXPECT_EQ(lines[2]["status"], "redacted") << "the recording after the broken one was still done";
    EXPECT_TRUE(fs::exists(copies.path / "a-scrivel.mp4"));
    EXPECT_TRUE(fs::exists(copies.path / "c-scrivel.mp4"));
    EXPECT_EQ(copies.entries(), 2U);

    fs::remove(copies.path / "c-scrivel.mp4");
    const CliRun again = runCli(batch, dir.path);
    EXPECT_EQ(again.exitCode, 1) << again.err;
    const std::vector<Json> more = jsonLines(readAll(report));
    ASSERT_EQ(more.size(), 6U) << "a rerun appends its lines";
    EXPECT_EQ(more[3]["status"], "skipped");
    EXPECT_EQ(more[4]["status"], "failed");
    EXPECT_EQ(more[5]["status"], "redacted");
}

TEST_F(ScrivelCli, InterruptedBatchResumes)
{
    Workspace dir, copies;
    writeFlatClip(dir.path / "quick.mp4", 6);
    test::ClipSpec format;
    format.width = 320;
    format.height = 180;
    format.frameCount = 120;
    format.frameRate = 24;
    const cv::Mat page = test::textPage(320, 180 + 120 * 3, 3);
    test::writeClip(dir.path / "long.mp4", format,
                    [&](int index) { return test::scrolledView(page, {320, 180}, 0, index * 3); });
    std::ofstream(dir.path / "list.txt") << "# recordings of the week\nquick.mp4\n\nlong.mp4\n";
    const std::vector<std::string> batch = {"redact", "--batch", (dir.path / "list.txt").string(), "-o",
                                            copies.path.string()};

    const pid_t child = start(batch, dir.path);
    // Interrupt once the first recording is reported, while the second is scanned.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (readAll(dir.path / "cli.out").find('\n') == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    kill(child, SIGINT);
    const CliRun stopped = finish(child, dir.path);
    EXPECT_EQ(stopped.exitCode, 1) << stopped.err;
    EXPECT_NE(stopped.err.find("Operation cancelled."), std::string::npos) << stopped.err;
    const std::vector<Json> lines = jsonLines(stopped.out);
    ASSERT_EQ(lines.size(), 2U) << stopped.out;
    EXPECT_EQ(lines[0]["status"], "redacted");
    EXPECT_EQ(lines[1]["status"], "cancelled");
    EXPECT_TRUE(fs::exists(copies.path / "quick-scrivel.mp4"));
    EXPECT_EQ(copies.entries(), 1U) << "nothing half-written is left";

    const CliRun resumed = runCli(batch, dir.path);
    EXPECT_EQ(resumed.exitCode, 0) << resumed.err;
    const std::vector<Json> after = jsonLines(resumed.out);
    ASSERT_EQ(after.size(), 2U);
    EXPECT_EQ(after[0]["status"], "skipped");
    EXPECT_EQ(after[1]["status"], "redacted");
    EXPECT_EQ(after[1]["frames"], 120);
    EXPECT_TRUE(fs::exists(copies.path / "long-scrivel.mp4"));
}

} // namespace
} // namespace scrivel
