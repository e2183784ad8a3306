#include "ScrivelCli/InterruptSignal.hpp"

#include <csignal>
#include <thread>

#include <pthread.h>

namespace scrivel::cli {

namespace InterruptSignal {

std::stop_token install()
{
    // Lives as long as the process: the waiting thread is never joined.
    static std::stop_source source;
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals] {
        int received = 0;
        // request_stop is not async-signal-safe; sigwait runs it on a normal thread.
        while (sigwait(&signals, &received) == 0)
            source.request_stop();
    }).detach();
    return source.get_token();
}

} // namespace InterruptSignal

} // namespace scrivel::cli
