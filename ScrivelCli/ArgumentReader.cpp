#include "ScrivelCli/ArgumentReader.hpp"

#include <charconv>
#include <cmath>

#include "ScrivelCli/Command.hpp"

namespace scrivel::cli {

ArgumentReader::ArgumentReader(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}

bool ArgumentReader::nextIsOption() const
{
    return !atEnd() && arguments_[position_].size() > 1 && arguments_[position_][0] == '-';
}

std::string ArgumentReader::takeOption()
{
    if (attachedValue_)
        throw UsageError("unexpected value for the previous option");
    std::string option = arguments_[position_++];
    if (const auto equals = option.find('='); option.rfind("--", 0) == 0 && equals != std::string::npos) {
        attachedValue_ = option.substr(equals + 1);
        option.resize(equals);
    }
    return option;
}

std::string ArgumentReader::takeValue(const std::string& option)
{
    if (attachedValue_) {
        std::string value = std::move(*attachedValue_);
        attachedValue_.reset();
        return value;
    }
    if (atEnd())
        throw UsageError(option + " needs a value");
    return arguments_[position_++];
}

std::string ArgumentReader::takePositional()
{
    if (atEnd())
        throw UsageError("missing argument");
    return arguments_[position_++];
}

double ArgumentReader::number(const std::string& option, const std::string& text)
{
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        throw UsageError(option + ": not a number: '" + text + "'");
    return value;
}

long long ArgumentReader::integer(const std::string& option, const std::string& text)
{
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        throw UsageError(option + ": not an integer: '" + text + "'");
    return value;
}

std::vector<double> ArgumentReader::numbers(const std::string& option, const std::string& text, std::size_t count)
{
    std::vector<double> values;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        values.push_back(number(option, text.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (values.size() != count)
        throw UsageError(option + " takes " + std::to_string(count) + " comma-separated numbers");
    return values;
}

} // namespace scrivel::cli
