// How the stages of an update pass hand files to each other: a first-in first-out queue of
// shared tasks, and the signal that wakes the one stage that consumes it.
#pragma once

#include "update/documents/update_task.hpp"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace qz4 {

class work_queue {
public:
    void push(std::shared_ptr<update_task> task);
    // The task at the front, or null when the queue is empty.
    [[nodiscard]] std::shared_ptr<update_task> pop();
    [[nodiscard]] bool empty() const;

private:
    mutable std::mutex mutex_;
    std::deque<std::shared_ptr<update_task>> tasks_; // guarded by mutex_
};

// An auto-reset event: a raise before the wait is not lost, one wait consumes any number of
// raises, and a raise wakes at most one of several waiters (the download stage's transfers
// pass the wake on themselves).
class wake_signal {
public:
    void raise();
    void wait();

private:
    std::mutex mutex_;
    std::condition_variable condition_;
    bool raised_ = false; // guarded by mutex_
};

} // namespace qz4
