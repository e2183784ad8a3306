#pragma once

// The registry of running background jobs. A job's work runs on its own
// std::jthread; what it returns (a continuation) is handed to the main thread,
// run there, and only then is the job over and its entry removed. Everything
// but the work itself happens on the main thread.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "ScrivelApp/BridgeHost.hpp"

namespace scrivel {

class JobTasks {
public:
    // Runs on the main thread with whether the job was cancelled meanwhile.
    using Continuation = std::function<void(bool cancelled)>;
    // Runs on the job's thread; must not throw (errors go into the continuation).
    using Work = std::function<Continuation(std::stop_token stop)>;

    explicit JobTasks(std::shared_ptr<MainThreadExecutor> executor);
    // Cancels every job and joins its thread; continuations still queued never run.
    ~JobTasks();
    JobTasks(const JobTasks&) = delete;
    JobTasks& operator=(const JobTasks&) = delete;

    void start(const std::string& id, Work work);
    // Requests stop for the jobs registered under `id`; false when none.
    bool cancel(const std::string& id);
    // Cancels every running job; `done` runs on the main thread once each of
    // them has ended (its continuation has run). Never blocks.
    void cancelAllAndWait(std::function<void()> done);

    std::size_t running() const { return entries_.size(); }
    bool contains(const std::string& id) const;

private:
    struct Entry {
        std::string id;
        std::jthread thread;
    };
    struct Waiter {
        std::vector<std::uint64_t> pending;
        std::function<void()> done;
    };

    void finish(std::uint64_t serial, Continuation continuation);

    std::shared_ptr<MainThreadExecutor> executor_;
    std::map<std::uint64_t, Entry> entries_; // main thread only
    std::vector<Waiter> waiters_;            // main thread only
    std::uint64_t nextSerial_ = 1;
    // Expires when the registry is destroyed, so queued continuations do nothing.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace scrivel
