#pragma once

#include <functional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace scrivel::cli {

// Exit codes, in the usual meaning for command-line tools; checkFailed when
// a redacted copy still shows text to hide or is not a faithful copy.
enum ExitCode : int { success = 0, failure = 1, badUsage = 2, checkFailed = 3 };

// Wrong arguments: the message is printed with a pointer to --help, exit 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One subcommand. `run` gets the arguments after the subcommand's name and
// returns the exit code; it throws UsageError for bad arguments and any other
// exception for a failure (its what() is the message shown).
struct Command {
    std::string_view name;
    std::string_view summary;
    std::string_view help; // the whole --help text
    std::function<int(const std::vector<std::string>& arguments, std::stop_token stop)> run;
};

// Every subcommand, in the order `--help` lists them.
std::vector<Command> allCommands();

Command inspectCommand();
Command exportCommand();
Command scanCommand();
Command redactCommand();
Command verifyCommand();

} // namespace scrivel::cli
