#pragma once

#include <optional>
#include <string>
#include <vector>

namespace scrivel::cli {

// Walks a subcommand's arguments: options (--name VALUE, --name=VALUE, short
// -o VALUE), flags and positionals, in any order. Errors are UsageError.
class ArgumentReader {
public:
    explicit ArgumentReader(std::vector<std::string> arguments);

    bool atEnd() const { return position_ >= arguments_.size(); }
    // The next argument is an option or flag (starts with '-' and is not "-").
    bool nextIsOption() const;
    // The option's name without a value attached ("--opacity" for "--opacity=0.5").
    std::string takeOption();
    // The value of the option just taken.
    std::string takeValue(const std::string& option);
    std::string takePositional();

    static double number(const std::string& option, const std::string& text);
    static long long integer(const std::string& option, const std::string& text);
    // Comma-separated numbers, exactly `count` of them.
    static std::vector<double> numbers(const std::string& option, const std::string& text, std::size_t count);

private:
    std::vector<std::string> arguments_;
    std::size_t position_ = 0;
    std::optional<std::string> attachedValue_;
};

} // namespace scrivel::cli
