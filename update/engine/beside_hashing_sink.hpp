// A sink that hashes what passes on a thread of its own: a large file's transfer then
// receives and writes at the speed of the link while its digests are taken beside it, where
// hashing on the receiving thread would hold every read of the socket back by the hash.
#pragma once

#include "common/byte_sink.hpp"
#include "common/file_digests.hpp"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace qz4 {

// Files at least this large are hashed beside their transfer; for smaller ones a thread costs
// more than the hash.
inline constexpr std::uint64_t hashed_beside_size = 4 * 1024 * 1024;

// Passes bytes on to `target` and feeds what it took to `digests` (after whatever they were
// fed before) in the same order. What passes is copied into blocks handed to the hashing
// thread through a short queue, so the receiving thread waits only when the hash falls
// behind by the whole queue, and memory stays at five blocks of 256 KiB whatever the file's
// size.
// Where no thread can be had, it hashes on the caller's thread instead.
class beside_hashing_sink final : public byte_sink {
public:
    beside_hashing_sink(byte_sink& target, digest_context& digests);
    // Waits for the hash of what was handed over: `digests` outlive no thread that uses them.
    ~beside_hashing_sink();
    beside_hashing_sink(const beside_hashing_sink&) = delete;
    beside_hashing_sink& operator=(const beside_hashing_sink&) = delete;

    bool write(const void* data, std::size_t size) override;
    // Returns once everything written is in `digests`; the sink takes nothing more.
    void finish();

private:
    using block = std::vector<std::uint8_t>;

    void hand_over();
    void hash_blocks() noexcept;

    byte_sink& target_;
    digest_context& digests_; // the hashing thread's until finish() returns
    block filling_;           // the writer's
    std::mutex mutex_;
    std::condition_variable changed_; // raised with mutex_ when a block is queued or hashed
    std::vector<block> queued_;       // guarded by mutex_: oldest first
    std::vector<block> spare_;        // guarded by mutex_: blocks free to be filled
    bool closing_ = false;            // guarded by mutex_
    std::thread thread_;              // not joinable: hashing on the writer's thread
};

} // namespace qz4
