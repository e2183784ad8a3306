#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include <pthread.h>

#include "ScrivelCli/InterruptSignal.hpp"

namespace {

using namespace std::chrono_literals;

bool stopsWithin(const std::stop_token& token, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!token.stop_requested() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    return token.stop_requested();
}

// A thread that was running before the handler was installed, as a library's
// thread pool started before main is: an interrupt delivered to it must
// become a stop request, not end the process by the signal's default action.
TEST(InterruptSignal, AnInterruptOnAThreadStartedEarlierBecomesAStopRequest)
{
    std::mutex mutex;
    std::condition_variable released;
    bool done = false;
    std::thread early([&] {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return done; });
    });

    const std::stop_token stop = scrivel::cli::InterruptSignal::install();
    EXPECT_FALSE(stop.stop_requested());
    ASSERT_EQ(pthread_kill(early.native_handle(), SIGINT), 0);
    EXPECT_TRUE(stopsWithin(stop, 5000ms));

    {
        std::lock_guard lock(mutex);
        done = true;
    }
    released.notify_all();
    early.join();
}

TEST(InterruptSignal, TerminationStopsTooAndInstallingAgainKeepsTheToken)
{
    const std::stop_token first = scrivel::cli::InterruptSignal::install();
    const std::stop_token second = scrivel::cli::InterruptSignal::install();
    ASSERT_EQ(raise(SIGTERM), 0);
    EXPECT_TRUE(stopsWithin(first, 5000ms));
    EXPECT_TRUE(second.stop_requested());
}

} // namespace
