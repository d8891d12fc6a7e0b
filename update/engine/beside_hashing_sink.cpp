#include "update/engine/beside_hashing_sink.hpp"

#include <algorithm>
#include <utility>

namespace qz4 {

namespace {

constexpr std::size_t block_size = std::size_t{256} << 10;
// Blocks that may wait for the hash: enough to ride out the scheduler's hiccups. With the one
// being filled, all are made at the start, so that a write never allocates.
constexpr std::size_t queue_depth = 4;

} // namespace

beside_hashing_sink::beside_hashing_sink(byte_sink& target, digest_context& digests)
    : target_(target), digests_(digests) {
    try {
        filling_.reserve(block_size);
        queued_.reserve(queue_depth + 1);
        spare_.resize(queue_depth);
        for (block& spare : spare_)
            spare.reserve(block_size);
        thread_ = std::thread([this] { hash_blocks(); });
    } catch (...) {
        // No thread or no memory for the blocks: the hash runs on the writer's thread.
        filling_ = block();
        spare_.clear();
    }
}

beside_hashing_sink::~beside_hashing_sink() {
    finish();
}

bool beside_hashing_sink::write(const void* data, std::size_t size) {
    if (!target_.write(data, size))
        return false;
    if (!thread_.joinable()) {
        digests_.update(data, size);
        return true;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const std::size_t taken = std::min(size, block_size - filling_.size());
        filling_.insert(filling_.end(), bytes, bytes + taken);
        bytes += taken;
        size -= taken;
        if (filling_.size() == block_size)
            hand_over();
    }
    return true;
}

void beside_hashing_sink::hand_over() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !spare_.empty(); });
    queued_.push_back(std::exchange(filling_, std::move(spare_.back())));
    spare_.pop_back();
    lock.unlock();
    changed_.notify_all();
    filling_.clear(); // keeps its capacity: the next block is written without allocating
}

void beside_hashing_sink::finish() {
    if (!thread_.joinable())
        return;
    if (!filling_.empty())
        hand_over();
    {
        const std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void beside_hashing_sink::hash_blocks() noexcept {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !queued_.empty() || closing_; });
        if (queued_.empty())
            return;
        block next = std::move(queued_.front());
        queued_.erase(queued_.begin());
        lock.unlock();
        changed_.notify_all();
        digests_.update(next.data(), next.size());
        lock.lock();
        spare_.push_back(std::move(next));
    }
}

} // namespace qz4
