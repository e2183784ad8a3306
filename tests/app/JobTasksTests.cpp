// The job registry: work on its own thread, its end on the main thread,
// cancellation and waiting without blocking.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ScrivelApp/JobTasks.hpp"
#include "app/BridgeFakes.hpp"

using namespace scrivel;
using namespace scrivel::test;

namespace {

// Work that runs until asked to stop, then notes on which thread its
// continuation ran and whether it was told it was cancelled.
struct Recorder {
    std::vector<std::string> ended; // "id:cancelled" or "id:finished", main thread only
    std::vector<std::thread::id> endedOn;

    JobTasks::Work untilStopped(const std::string& id)
    {
        return [this, id](std::stop_token stop) -> JobTasks::Continuation {
            std::mutex mutex;
            std::condition_variable_any wake;
            std::unique_lock lock(mutex);
            wake.wait_for(lock, stop, std::chrono::seconds(30), [] { return false; });
            return [this, id](bool cancelled) { note(id, cancelled); };
        };
    }
    JobTasks::Work immediate(const std::string& id)
    {
        return [this, id](std::stop_token) -> JobTasks::Continuation {
            return [this, id](bool cancelled) { note(id, cancelled); };
        };
    }
    void note(const std::string& id, bool cancelled)
    {
        ended.push_back(id + (cancelled ? ":cancelled" : ":finished"));
        endedOn.push_back(std::this_thread::get_id());
    }
};

} // namespace

TEST(JobTasks, WorkEndsOnTheMainThreadAndLeavesTheRegistry)
{
    auto executor = std::make_shared<QueueExecutor>();
    JobTasks tasks(executor);
    Recorder recorder;
    tasks.start("a", recorder.immediate("a"));
    EXPECT_TRUE(tasks.contains("a"));
    EXPECT_EQ(tasks.running(), 1u);
    ASSERT_TRUE(executor->runUntil([&] { return !recorder.ended.empty(); }));
    EXPECT_EQ(recorder.ended, std::vector<std::string>{"a:finished"});
    EXPECT_EQ(recorder.endedOn[0], std::this_thread::get_id());
    EXPECT_FALSE(tasks.contains("a"));
    EXPECT_EQ(tasks.running(), 0u);
}

TEST(JobTasks, CancelStopsOnlyTheNamedJob)
{
    auto executor = std::make_shared<QueueExecutor>();
    JobTasks tasks(executor);
    Recorder recorder;
    tasks.start("a", recorder.untilStopped("a"));
    tasks.start("b", recorder.untilStopped("b"));
    EXPECT_FALSE(tasks.cancel("nothing"));
    EXPECT_TRUE(tasks.cancel("a"));
    ASSERT_TRUE(executor->runUntil([&] { return recorder.ended.size() == 1; }));
    EXPECT_EQ(recorder.ended, std::vector<std::string>{"a:cancelled"});
    EXPECT_TRUE(tasks.contains("b"));
    EXPECT_TRUE(tasks.cancel("b"));
    ASSERT_TRUE(executor->runUntil([&] { return recorder.ended.size() == 2; }));
}

TEST(JobTasks, CancelAllAndWaitCallsBackOnceEveryJobHasEnded)
{
    auto executor = std::make_shared<QueueExecutor>();
    JobTasks tasks(executor);
    Recorder recorder;
    tasks.start("a", recorder.untilStopped("a"));
    tasks.start("b", recorder.untilStopped("b"));
    std::vector<std::string> endedWhenDone;
    bool done = false;
    tasks.cancelAllAndWait([&] {
        done = true;
        endedWhenDone = recorder.ended;
    });
    EXPECT_FALSE(done) << "never blocks, never answers at once";
    // A job started after the wait began is neither cancelled nor waited for.
    tasks.start("c", recorder.untilStopped("c"));
    ASSERT_TRUE(executor->runUntil([&] { return done; }));
    EXPECT_EQ(endedWhenDone.size(), 2u);
    for (const std::string& end : endedWhenDone)
        EXPECT_NE(end.find(":cancelled"), std::string::npos) << end;
    EXPECT_EQ(tasks.running(), 1u);

    bool emptyDone = false;
    JobTasks idle(executor);
    idle.cancelAllAndWait([&] { emptyDone = true; });
    EXPECT_FALSE(emptyDone);
    executor->runPending();
    EXPECT_TRUE(emptyDone);
    EXPECT_TRUE(tasks.contains("c"));
    tasks.cancel("c");
    ASSERT_TRUE(executor->runUntil([&] { return tasks.running() == 0; }));
}

TEST(JobTasks, AContinuationMayStartTheNextJob)
{
    auto executor = std::make_shared<QueueExecutor>();
    JobTasks tasks(executor);
    Recorder recorder;
    tasks.start("a", [&](std::stop_token) -> JobTasks::Continuation {
        return [&](bool) { tasks.start("a", recorder.immediate("a-again")); };
    });
    ASSERT_TRUE(executor->runUntil([&] { return !recorder.ended.empty(); }));
    EXPECT_EQ(recorder.ended, std::vector<std::string>{"a-again:finished"});
}

TEST(JobTasks, DestroyingTheRegistryStopsAndJoinsWithoutRunningContinuations)
{
    auto executor = std::make_shared<QueueExecutor>();
    Recorder recorder;
    std::atomic<bool> workEnded{false};
    {
        JobTasks tasks(executor);
        tasks.start("a", [&](std::stop_token stop) -> JobTasks::Continuation {
            JobTasks::Continuation continuation = recorder.untilStopped("a")(stop);
            workEnded = true;
            return continuation;
        });
    }
    EXPECT_TRUE(workEnded) << "joined";
    executor->runPending();
    EXPECT_TRUE(recorder.ended.empty());
}
