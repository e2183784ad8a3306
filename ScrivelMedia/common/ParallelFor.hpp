#pragma once

// common/: small pieces every stage uses: work spread over threads
// (parallelFor), heap reuse between frames (HeapReuse), hot loops built for
// AVX2 and for the baseline (VectorClones).

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

#include "ScrivelCore/Errors.hpp"
#include "scan/StageProfile.hpp"

namespace scrivel {

// Runs f(0) .. f(count - 1) on up to `threads` threads (this one included),
// joined before returning; rethrows the first error, or OperationCancelled
// once `stop` is requested.
template <typename F>
inline void parallelFor(std::size_t count, int threads, std::stop_token stop, F&& f)
{
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex errorMutex;
    std::exception_ptr error; // guarded by errorMutex
    auto work = [&] {
        while (!failed.load() && !stop.stop_requested()) {
            const std::size_t i = next++;
            if (i >= count)
                return;
            try {
                f(i);
            } catch (...) {
                std::lock_guard lock(errorMutex);
                if (!error)
                    error = std::current_exception();
                failed = true;
            }
        }
    };
    {
        std::vector<std::jthread> helpers;
        const auto extra = std::min<std::size_t>(count, static_cast<std::size_t>(std::max(threads, 1))) - (count > 0);
        const ScanStage stage = StageProfile::current();
        for (std::size_t t = 0; t < extra; ++t)
            helpers.emplace_back([&work, stage] {
                const StageProfile::Scope helping(stage);
                work();
            });
        work();
    }
    if (error)
        std::rethrow_exception(error);
    if (stop.stop_requested())
        throw OperationCancelled();
}

} // namespace scrivel
