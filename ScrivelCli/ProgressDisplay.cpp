#include "ScrivelCli/ProgressDisplay.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include <unistd.h>

namespace scrivel::cli {

ProgressDisplay::ProgressDisplay(std::FILE* stream, const char* label)
    : stream_(stream), label_(label), terminal_(::isatty(::fileno(stream)) == 1)
{
}

ProgressDisplay::~ProgressDisplay()
{
    finish();
}

void ProgressDisplay::update(double fraction)
{
    const double clamped = std::clamp(std::isfinite(fraction) ? fraction : 0.0, 0.0, 1.0);
    const int percent = static_cast<int>(std::floor(clamped * 100));
    if (percent == lastPercent_)
        return;
    lastPercent_ = percent;
    if (terminal_) {
        constexpr int width = 30;
        const int filled = static_cast<int>(clamped * width);
        const std::string bar = std::string(filled, '#') + std::string(width - filled, '-');
        std::fprintf(stream_, "\r%s [%s] %3d%%", label_, bar.c_str(), percent);
        open_ = true;
    } else {
        std::fprintf(stream_, "%s %d%%\n", label_, percent);
    }
    std::fflush(stream_);
}

void ProgressDisplay::finish()
{
    if (open_) {
        std::fputc('\n', stream_);
        std::fflush(stream_);
        open_ = false;
    }
}

} // namespace scrivel::cli
