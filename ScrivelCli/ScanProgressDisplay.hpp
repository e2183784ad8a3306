#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "scan/ScanProgress.hpp"

namespace scrivel::cli {

// Shows a scan's progress on a stream: its phase, a bar, the frames done and
// the regions found. A terminal gets one redrawn line; a log gets a line per
// whole percent and per phase.
class ScanProgressDisplay {
public:
    explicit ScanProgressDisplay(std::FILE* stream);
    ~ScanProgressDisplay();
    ScanProgressDisplay(const ScanProgressDisplay&) = delete;
    ScanProgressDisplay& operator=(const ScanProgressDisplay&) = delete;

    void update(const ScanProgress& progress);
    // Ends the bar's line; nothing more is drawn.
    void finish();

    // One line of the display, without line breaks.
    static std::string line(const ScanProgress& progress);

private:
    std::FILE* stream_;
    bool terminal_;
    std::string lastMessage_;
    int lastPercent_ = -1;
    std::int64_t lastProcessed_ = -1;
    std::size_t lastWidth_ = 0;
    bool open_ = false;
    bool finished_ = false;
};

} // namespace scrivel::cli
