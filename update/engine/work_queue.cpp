#include "update/engine/work_queue.hpp"

namespace qz4 {

void work_queue::push(std::shared_ptr<update_task> task, std::unique_ptr<file_to_place> checked_download) {
    const std::lock_guard lock(mutex_);
    tasks_.push_back({std::move(task), std::move(checked_download)});
}

queued_task work_queue::pop() {
    const std::lock_guard lock(mutex_);
    if (tasks_.empty())
        return {};
    queued_task front = std::move(tasks_.front());
    tasks_.pop_front();
    return front;
}

bool work_queue::empty() const {
    const std::lock_guard lock(mutex_);
    return tasks_.empty();
}

void wake_signal::raise() {
    {
        const std::lock_guard lock(mutex_);
        raised_ = true;
    }
    condition_.notify_one();
}

void wake_signal::wait() {
    std::unique_lock lock(mutex_);
    condition_.wait(lock, [this] { return raised_; });
    raised_ = false;
}

} // namespace qz4
