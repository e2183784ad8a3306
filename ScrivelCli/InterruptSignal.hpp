#pragma once

#include <stop_token>

namespace scrivel::cli {

// Turns Ctrl-C (SIGINT) and SIGTERM into a stop request, so running work ends
// through its normal cancellation path and cleans up after itself. Call
// install() first thing in main, before any thread starts: the signals are
// blocked in every thread and received by one waiting thread.
namespace InterruptSignal {

std::stop_token install();

} // namespace InterruptSignal

} // namespace scrivel::cli
