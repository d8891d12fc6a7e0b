#include "patchmaker/encoder_pool.hpp"

#include <algorithm>

namespace qz4 {

encoder_pool::lease::~lease() {
    if (encoder_)
        pool_->give_back(std::move(encoder_));
}

encoder_pool::lease encoder_pool::acquire() {
    std::unique_lock lock(mutex_);
    returned_.wait(lock, [this] { return !idle_.empty() || may_make_another(); });
    if (!idle_.empty()) {
        std::unique_ptr<lzma2_encoder> encoder = std::move(idle_.back());
        idle_.pop_back();
        return lease(*this, std::move(encoder));
    }
    ++made_;
    lock.unlock();
    return lease(*this, std::make_unique<lzma2_encoder>());
}

unsigned encoder_pool::made() const {
    std::lock_guard lock(mutex_);
    return made_;
}

bool encoder_pool::may_make_another() const {
    if (made_ == 0)
        return true;
    return made_ < limit_ && largest_held_ != 0 && largest_held_ * (made_ + 1) <= budget_;
}

void encoder_pool::give_back(std::unique_ptr<lzma2_encoder> encoder) {
    {
        std::lock_guard lock(mutex_);
        largest_held_ = std::max(largest_held_, encoder->memory_held());
        idle_.push_back(std::move(encoder));
    }
    // Every waiter: one may take this encoder, another may now be allowed to make one.
    returned_.notify_all();
}

} // namespace qz4
