#include "ScrivelApp/JobTasks.hpp"

#include <algorithm>
#include <utility>

namespace scrivel {

JobTasks::JobTasks(std::shared_ptr<MainThreadExecutor> executor) : executor_(std::move(executor)) {}

JobTasks::~JobTasks()
{
    alive_.reset();
    // jthread's destructor requests stop and joins.
    entries_.clear();
}

void JobTasks::start(const std::string& id, Work work)
{
    const std::uint64_t serial = nextSerial_++;
    Entry& entry = entries_[serial];
    entry.id = id;
    entry.thread = std::jthread([executor = executor_, alive = std::weak_ptr<int>(alive_), this, serial,
                                 work = std::move(work)](std::stop_token stop) mutable {
        Continuation continuation = work(stop);
        // The work's captures die here, on its own thread, not on the main one.
        work = nullptr;
        executor->post([alive, this, serial, continuation = std::move(continuation)]() mutable {
            if (alive.lock())
                finish(serial, std::move(continuation));
        });
    });
}

void JobTasks::finish(std::uint64_t serial, Continuation continuation)
{
    auto node = entries_.extract(serial);
    if (node.empty())
        return;
    const bool cancelled = node.mapped().thread.get_stop_token().stop_requested();
    // The thread has posted this and is returning: the join is short.
    node.mapped().thread.join();
    if (continuation) {
        try {
            continuation(cancelled);
        } catch (...) {
            // A job's end cannot fail; the continuation reports its own errors.
        }
    }
    // Waiters whose last job this was; `done` may start new jobs or waits.
    std::vector<std::function<void()>> ready;
    for (auto waiter = waiters_.begin(); waiter != waiters_.end();) {
        std::erase(waiter->pending, serial);
        if (waiter->pending.empty()) {
            ready.push_back(std::move(waiter->done));
            waiter = waiters_.erase(waiter);
        } else {
            ++waiter;
        }
    }
    for (auto& done : ready)
        if (done)
            done();
}

bool JobTasks::cancel(const std::string& id)
{
    bool found = false;
    for (auto& [serial, entry] : entries_) {
        if (entry.id == id) {
            entry.thread.request_stop();
            found = true;
        }
    }
    return found;
}

void JobTasks::cancelAllAndWait(std::function<void()> done)
{
    Waiter waiter{{}, std::move(done)};
    for (auto& [serial, entry] : entries_) {
        entry.thread.request_stop();
        waiter.pending.push_back(serial);
    }
    if (waiter.pending.empty()) {
        executor_->post([alive = std::weak_ptr<int>(alive_), done = std::move(waiter.done)] {
            if (alive.lock() && done)
                done();
        });
        return;
    }
    waiters_.push_back(std::move(waiter));
}

bool JobTasks::contains(const std::string& id) const
{
    return std::any_of(entries_.begin(), entries_.end(), [&](const auto& item) { return item.second.id == id; });
}

} // namespace scrivel
