#include "ScrivelCli/ScanProgressDisplay.hpp"

#include <algorithm>
#include <cinttypes>
#include <cmath>

#include <unistd.h>

namespace scrivel::cli {

namespace {

int percentOf(double fraction)
{
    const double clamped = std::clamp(std::isfinite(fraction) ? fraction : 0.0, 0.0, 1.0);
    return static_cast<int>(std::floor(clamped * 100));
}

} // namespace

ScanProgressDisplay::ScanProgressDisplay(std::FILE* stream) : stream_(stream), terminal_(::isatty(::fileno(stream)) == 1)
{
}

ScanProgressDisplay::~ScanProgressDisplay()
{
    finish();
}

std::string ScanProgressDisplay::line(const ScanProgress& progress)
{
    constexpr int barWidth = 24;
    const int percent = percentOf(progress.progress);
    const int filled = percent * barWidth / 100;
    char text[256];
    std::snprintf(text, sizeof text, "%-26s [%s%s] %3d%%  frame %" PRId64 "/%" PRId64 "  %" PRId64 " regions",
                  progress.message.c_str(), std::string(static_cast<std::size_t>(filled), '#').c_str(),
                  std::string(static_cast<std::size_t>(barWidth - filled), '-').c_str(), percent, progress.processed,
                  progress.total, progress.regions);
    return text;
}

void ScanProgressDisplay::update(const ScanProgress& progress)
{
    if (finished_)
        return;
    const int percent = percentOf(progress.progress);
    const bool newPhase = progress.message != lastMessage_;
    if (terminal_) {
        if (!newPhase && percent == lastPercent_ && progress.processed == lastProcessed_)
            return;
        std::string text = line(progress);
        const std::size_t width = text.size();
        if (width < lastWidth_)
            text.append(lastWidth_ - width, ' '); // wipe the rest of a longer line
        std::fprintf(stream_, "\r%s", text.c_str());
        lastWidth_ = width;
        open_ = true;
    } else {
        if (!newPhase && percent == lastPercent_)
            return;
        std::fprintf(stream_, "%s\n", line(progress).c_str());
    }
    std::fflush(stream_);
    lastMessage_ = progress.message;
    lastPercent_ = percent;
    lastProcessed_ = progress.processed;
}

void ScanProgressDisplay::finish()
{
    if (open_) {
        std::fputc('\n', stream_);
        std::fflush(stream_);
        open_ = false;
    }
    finished_ = true;
}

} // namespace scrivel::cli
