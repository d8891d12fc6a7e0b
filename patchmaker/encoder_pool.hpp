// The LZMA2 encoders of one patch-maker run, lent to the packing workers one file at a time.
// An encoder holds about 190 MiB of match-finder tables for as long as it lives, so the pool
// makes one, and a second only while both fit the memory budget: however many workers hash
// and copy beside them, the encoders' memory stays the same.
#pragma once

#include "common/lzma2_codec.hpp"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace qz4 {

// What the encoders of a run may hold together. Two encoders fit; on the 32-bit build, whose
// address space is 2 GiB (4 GiB when large-address-aware), that leaves ample room as well.
inline constexpr std::uint64_t encoder_memory_budget = 512ULL << 20;
inline constexpr unsigned encoder_count_limit = 2;

class encoder_pool {
public:
    explicit encoder_pool(std::uint64_t budget = encoder_memory_budget, unsigned limit = encoder_count_limit)
        : budget_(budget), limit_(limit) {}

    // An encoder for one file, given back when the lease ends.
    class lease {
    public:
        lease(encoder_pool& pool, std::unique_ptr<lzma2_encoder> encoder)
            : pool_(&pool), encoder_(std::move(encoder)) {}
        ~lease();
        lease(lease&& other) noexcept = default;
        lease& operator=(lease&&) = delete;
        lease(const lease&) = delete;
        lease& operator=(const lease&) = delete;
        lzma2_encoder& operator*() const { return *encoder_; }
        lzma2_encoder* operator->() const { return encoder_.get(); }

    private:
        encoder_pool* pool_;
        std::unique_ptr<lzma2_encoder> encoder_;
    };

    // Waits until an encoder is free, or another may be made within the budget.
    [[nodiscard]] lease acquire();

    // Encoders made so far (for tests and the benchmark).
    [[nodiscard]] unsigned made() const;

private:
    void give_back(std::unique_ptr<lzma2_encoder> encoder);
    [[nodiscard]] bool may_make_another() const;

    const std::uint64_t budget_;
    const unsigned limit_;
    mutable std::mutex mutex_; // guards idle_, made_ and largest_held_
    std::condition_variable returned_;
    std::vector<std::unique_ptr<lzma2_encoder>> idle_;
    unsigned made_ = 0;
    // The most one encoder has held; unknown (0) until an encoder has packed a file, and
    // until then no second one is made.
    std::uint64_t largest_held_ = 0;
};

} // namespace qz4
