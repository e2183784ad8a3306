#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "ScrivelCli/Command.hpp"
#include "ScrivelCli/InterruptSignal.hpp"
#include "recognition/OcrEngine.hpp"

namespace {

using scrivel::cli::Command;

void printOverview(std::FILE* stream)
{
    std::fprintf(stream, "usage: scrivel-cli <command> [options]\n\ncommands:\n");
    for (const Command& command : scrivel::cli::allCommands())
        std::fprintf(stream, "  %-10s %.*s\n", std::string(command.name).c_str(), static_cast<int>(command.summary.size()),
                     command.summary.data());
    std::fprintf(stream, "\nRun 'scrivel-cli <command> --help' for a command's options.\n");
}

} // namespace

int main(int argc, char** argv)
{
    using namespace scrivel::cli;
    scrivel::OcrEngine::settleOpenCvThreads(); // before any thread of ours uses OpenCV
    const std::stop_token stop = InterruptSignal::install();

    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.empty()) {
        printOverview(stderr);
        return badUsage;
    }
    if (arguments[0] == "--help" || arguments[0] == "-h" || (arguments[0] == "help" && arguments.size() == 1)) {
        printOverview(stdout);
        return success;
    }
    const bool helpFor = arguments[0] == "help";
    const std::string& name = helpFor ? arguments[1] : arguments[0];
    const std::vector<Command> commands = allCommands();
    const auto command = std::find_if(commands.begin(), commands.end(), [&](const Command& c) { return c.name == name; });
    if (command == commands.end()) {
        std::fprintf(stderr, "scrivel-cli: unknown command '%s'\n\n", name.c_str());
        printOverview(stderr);
        return badUsage;
    }
    const std::vector<std::string> rest(arguments.begin() + 1 + (helpFor ? 1 : 0), arguments.end());
    if (helpFor || std::find(rest.begin(), rest.end(), "--help") != rest.end() ||
        std::find(rest.begin(), rest.end(), "-h") != rest.end()) {
        std::fwrite(command->help.data(), 1, command->help.size(), stdout);
        return success;
    }
    try {
        return command->run(rest, stop);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "scrivel-cli %s: %s\nRun 'scrivel-cli %s --help' for usage.\n", name.c_str(), error.what(),
                     name.c_str());
        return badUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "scrivel-cli %s: %s\n", name.c_str(), error.what());
        return failure;
    }
}
