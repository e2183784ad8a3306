#pragma once

#include <cstdio>

namespace scrivel::cli {

// Shows a fraction 0...1 on a stream: a redrawn bar when the stream is a
// terminal, otherwise one "NN%" line per whole percent gained (for logs).
class ProgressDisplay {
public:
    ProgressDisplay(std::FILE* stream, const char* label);
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    void update(double fraction);
    // Ends the bar's line; nothing more is drawn.
    void finish();

private:
    std::FILE* stream_;
    const char* label_;
    bool terminal_;
    int lastPercent_ = -1;
    bool open_ = false;
};

} // namespace scrivel::cli
