#include "ScrivelCli/BatchRedaction.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "ScrivelCli/Command.hpp"
#include "ScrivelCli/CopyCheckSummary.hpp"
#include "ScrivelCore/Errors.hpp"
#include "ScrivelCore/Json.hpp"

namespace scrivel::cli {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kOutputSuffix = "-scrivel.mp4";

std::string lowercase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return text;
}

bool isRecording(const fs::path& path)
{
    const std::string extension = lowercase(path.extension().string());
    const std::string name = lowercase(path.filename().string());
    const bool written = name.size() > kOutputSuffix.size() && name.ends_with(kOutputSuffix);
    return (extension == ".mp4" || extension == ".mov" || extension == ".m4v") && !written;
}

std::string trimmed(const std::string& line)
{
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

// Lines go out whole and at once, so that a batch stopped at any moment
// leaves a report of complete lines.
class ReportWriter {
public:
    explicit ReportWriter(const fs::path& path)
    {
        if (path.empty())
            return;
        file_.open(path, std::ios::binary | std::ios::app);
        if (!file_)
            throw std::runtime_error(path.string() + ": cannot be written");
    }

    void write(const Json& line)
    {
        // A file name need not be UTF-8; its bytes are replaced rather than
        // the line lost.
        const std::string text = line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
        const std::lock_guard lock(mutex_);
        if (file_.is_open()) {
            file_ << text;
            file_.flush();
        } else {
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
        }
    }

private:
    std::mutex mutex_;
    std::ofstream file_; // guarded by mutex_
};

struct Tally {
    std::size_t redacted = 0, skipped = 0, failed = 0, cancelled = 0, notClean = 0;
};

Json checkLine(const CopyCheck& check)
{
    return {{"clean", check.clean()},
            {"framesRead", check.framesRead},
            {"framesWithReadableText", check.framesWithReadableText()},
            {"moments", check.moments().size()},
            {"differences", check.differences}};
}

} // namespace

std::vector<fs::path> batchInputs(const fs::path& list)
{
    std::error_code error;
    if (fs::is_directory(list, error)) {
        std::vector<fs::path> inputs;
        for (const fs::directory_entry& entry : fs::directory_iterator(list, error))
            if (entry.is_regular_file(error) && isRecording(entry.path()))
                inputs.push_back(entry.path());
        if (error)
            throw std::runtime_error(list.string() + ": " + error.message());
        std::sort(inputs.begin(), inputs.end());
        return inputs;
    }
    std::ifstream file(list);
    if (!file)
        throw std::runtime_error(list.string() + ": cannot be read");
    std::vector<fs::path> inputs;
    for (std::string line; std::getline(file, line);) {
        const std::string path = trimmed(line);
        if (path.empty() || path.front() == '#')
            continue;
        const fs::path listed(path);
        inputs.push_back(listed.is_absolute() ? listed : list.parent_path() / listed);
    }
    if (file.bad())
        throw std::runtime_error(list.string() + ": cannot be read");
    return inputs;
}

std::vector<BatchItem> planBatch(const std::vector<fs::path>& inputs, const fs::path& outputFolder)
{
    std::vector<BatchItem> items;
    std::map<fs::path, fs::path> claimed; // output → the input that has it
    for (const fs::path& input : inputs) {
        BatchItem item{input, outputFolder / (input.stem().string() + std::string(kOutputSuffix)), std::nullopt};
        const auto [at, fresh] = claimed.emplace(item.output, input);
        if (!fresh)
            item.problem = "Its copy would have the same name as that of " + at->second.string() + ", " +
                           item.output.filename().string() + "; rename one of them.";
        items.push_back(std::move(item));
    }
    return items;
}

int runBatch(const BatchOptions& options, const RedactionPlan& plan, std::stop_token stop)
{
    const std::vector<BatchItem> items = planBatch(batchInputs(options.list), options.outputFolder);
    if (items.empty())
        throw std::runtime_error(options.list.string() + ": no recordings listed");
    std::error_code error;
    fs::create_directories(options.outputFolder, error);
    if (error)
        throw PlatformError(options.outputFolder.string() + ": " + error.message());
    ReportWriter report(options.report);

    std::mutex consoleMutex;
    Tally tally; // guarded by consoleMutex
    const auto say = [&](const std::string& text) {
        // Called with consoleMutex held.
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    };
    const std::size_t total = items.size();
    const int jobs = std::clamp<int>(options.jobs, 1, static_cast<int>(total));
    // One job at a time may draw its progress bars; several would garble them.
    const ProgressShown progress = jobs == 1 ? ProgressShown::yes : ProgressShown::no;

    std::atomic<std::size_t> next = 0;
    const auto work = [&] {
        for (std::size_t index = next++; index < total && !stop.stop_requested(); index = next++) {
            const BatchItem& item = items[index];
            const std::string label = "[" + std::to_string(index + 1) + "/" + std::to_string(total) + "] " +
                                      item.input.filename().string();
            Json line = {{"path", item.input.string()}, {"output", item.output.string()}};
            const auto started = std::chrono::steady_clock::now();
            const auto elapsed = [&] {
                return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            };
            std::error_code same;
            if (item.problem) {
                line["status"] = "failed";
                line["error"] = *item.problem;
            } else if (fs::equivalent(item.input, item.output, same)) {
                line["status"] = "failed";
                line["error"] = ScrivelError::outputMatchesSource().what();
            } else if (fs::exists(item.output, same)) {
                // The exporter moves a copy into place only when it is
                // complete, so an existing copy is a finished one.
                line["status"] = "skipped";
                line["reason"] = "its copy exists";
            } else {
                {
                    const std::lock_guard lock(consoleMutex);
                    say(label + ": redacting\n");
                }
                try {
                    const RedactionOutcome outcome = redactRecording(item.input, item.output, plan, progress, stop);
                    line["status"] = "redacted";
                    line["frames"] = outcome.result.sampleCount;
                    line["tracks"] = outcome.result.tracks().size();
                    line["regions"] = outcome.masks.regions;
                    line["maskedFrames"] = outcome.masks.frames;
                    if (outcome.check)
                        line["verify"] = checkLine(*outcome.check);
                } catch (const OperationCancelled&) {
                    line["status"] = "cancelled";
                } catch (const std::exception& failure) {
                    line["status"] = "failed";
                    line["error"] = failure.what();
                }
            }
            line["seconds"] = std::round(elapsed() * 1000) / 1000;
            report.write(line);

            const std::lock_guard lock(consoleMutex);
            const std::string status = line["status"];
            if (status == "redacted") {
                ++tally.redacted;
                std::string text = label + ": masked " + std::to_string(line["regions"].get<std::size_t>()) +
                                   " regions in " + std::to_string(line["maskedFrames"].get<std::size_t>()) + " of " +
                                   std::to_string(line["frames"].get<std::int64_t>()) + " frames";
                if (line.contains("verify")) {
                    const bool clean = line["verify"]["clean"];
                    tally.notClean += clean ? 0 : 1;
                    text += clean ? "; the check found nothing" : "; the check found text or differences, see the report";
                }
                say(text + "\n");
            } else if (status == "skipped") {
                ++tally.skipped;
                say(label + ": skipped, its copy exists\n");
            } else if (status == "cancelled") {
                ++tally.cancelled;
                say(label + ": cancelled\n");
            } else {
                ++tally.failed;
                say(label + ": failed: " + line["error"].get<std::string>() + "\n");
            }
        }
    };
    {
        std::vector<std::jthread> workers;
        for (int i = 1; i < jobs; ++i)
            workers.emplace_back(work);
        work();
    }

    const std::size_t unstarted =
        total - tally.redacted - tally.skipped - tally.failed - tally.cancelled;
    std::string summary = std::to_string(total) + " recordings: " + std::to_string(tally.redacted) + " redacted, " +
                          std::to_string(tally.skipped) + " skipped, " + std::to_string(tally.failed) + " failed";
    if (tally.cancelled + unstarted > 0)
        summary += ", " + std::to_string(tally.cancelled + unstarted) + " not done (run the batch again to resume)";
    if (tally.notClean > 0)
        summary += "; " + std::to_string(tally.notClean) + " copies need a look";
    std::fprintf(stderr, "%s.\n", summary.c_str());
    if (stop.stop_requested())
        throw OperationCancelled();
    if (tally.failed > 0)
        return failure;
    return tally.notClean > 0 ? checkFailed : success;
}

} // namespace scrivel::cli
