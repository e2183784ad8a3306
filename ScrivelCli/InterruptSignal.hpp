#pragma once

#include <stop_token>

namespace scrivel::cli {

// Turns Ctrl-C (SIGINT) and SIGTERM into a stop request, so running work ends
// through its normal cancellation path and cleans up after itself. Call
// install() first thing in main; it holds whichever thread the signal is
// delivered to, including threads that libraries started before main. Calling
// it again returns the same token.
namespace InterruptSignal {

std::stop_token install();

} // namespace InterruptSignal

} // namespace scrivel::cli
