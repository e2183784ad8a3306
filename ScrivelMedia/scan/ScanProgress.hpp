#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace scrivel {

// Progress of a scan: the overall fraction and the current phase's counts.
struct ScanProgress {
    double progress = 0;
    std::int64_t processed = 0;
    std::int64_t total = 0;
    std::int64_t regions = 0;
    std::string message;

    bool operator==(const ScanProgress&) const = default;
};

// May be called from any thread the scan runs on; must be cheap.
using ScanProgressCallback = std::function<void(const ScanProgress&)>;

} // namespace scrivel
