#include "update/engine/decoder_budget.hpp"

namespace qz4 {

decoder_budget::reservation decoder_budget::reserve(std::uint64_t bytes) {
    std::unique_lock lock(mutex_);
    freed_.wait(lock, [&] { return holders_ == 0 || (held_ <= total_ && bytes <= total_ - held_); });
    held_ += bytes;
    ++holders_;
    return reservation(*this, bytes);
}

std::uint64_t decoder_budget::held() const {
    const std::lock_guard lock(mutex_);
    return held_;
}

void decoder_budget::release(std::uint64_t bytes) {
    {
        const std::lock_guard lock(mutex_);
        held_ -= bytes;
        --holders_;
    }
    freed_.notify_all();
}

} // namespace qz4
