// How the stages of an update pass hand files to each other: a first-in first-out queue of
// shared tasks, and the signal that wakes the one stage that consumes it.
#pragma once

#include "update/documents/update_task.hpp"
#include "update/engine/file_operations.hpp"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace qz4 {

// A task on its way between the stages, with the download that was checked for it when the
// download stage held it open for placing (see resumable_download::take_kept).
struct queued_task {
    std::shared_ptr<update_task> task;
    std::unique_ptr<file_to_place> checked_download;

    explicit operator bool() const { return task != nullptr; }
};

class work_queue {
public:
    void push(std::shared_ptr<update_task> task, std::unique_ptr<file_to_place> checked_download = nullptr);
    // The task at the front, or an empty one when the queue is empty.
    [[nodiscard]] queued_task pop();
    [[nodiscard]] bool empty() const;

private:
    mutable std::mutex mutex_;
    std::deque<queued_task> tasks_; // guarded by mutex_
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
