#include "ScrivelCli/InterruptSignal.hpp"

#include <cerrno>
#include <csignal>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace scrivel::cli {

namespace InterruptSignal {

namespace {

// Written by the handler, read by the waiting thread.
int wakePipe[2] = {-1, -1};

// Runs on whichever thread the signal lands on: libraries start threads of
// their own, some before main (a BLAS thread pool, say), so no signal mask
// set here can cover every thread. Only async-signal-safe work: one write.
void onSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const auto written = write(wakePipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

std::stop_token install()
{
    // Lives as long as the process: the waiting thread is never joined.
    static std::stop_source source;
    static std::once_flag installed;
    std::call_once(installed, [] {
        if (pipe2(wakePipe, O_CLOEXEC) != 0)
            throw std::runtime_error("Scrivel could not prepare for interruption.");
        // request_stop is not async-signal-safe; a normal thread runs it.
        std::thread([] {
            char byte = 0;
            for (;;) {
                const auto count = read(wakePipe[0], &byte, 1);
                if (count > 0)
                    source.request_stop();
                else if (count < 0 && errno == EINTR)
                    continue;
                else
                    return;
            }
        }).detach();
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        // Reads and writes under way in other threads resume rather than fail.
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    });
    return source.get_token();
}

} // namespace InterruptSignal

} // namespace scrivel::cli
