// How much memory the decoders of the unpack workers may hold together. Each decoder takes
// its file's dictionary; on a machine of many cores, workers that each took the largest
// dictionary a header may ask for would add up to more than a player's machine can spare.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>

namespace qz4 {

class decoder_budget {
public:
    explicit decoder_budget(std::uint64_t total) : total_(total) {}
    decoder_budget(const decoder_budget&) = delete;
    decoder_budget& operator=(const decoder_budget&) = delete;

    // Memory held by one decoder until the object goes away.
    class reservation {
    public:
        reservation(decoder_budget& budget, std::uint64_t bytes) : budget_(&budget), bytes_(bytes) {}
        ~reservation() {
            if (budget_ != nullptr)
                budget_->release(bytes_);
        }
        reservation(reservation&& other) noexcept
            : budget_(std::exchange(other.budget_, nullptr)), bytes_(other.bytes_) {}
        reservation(const reservation&) = delete;
        reservation& operator=(const reservation&) = delete;
        reservation& operator=(reservation&&) = delete;

    private:
        decoder_budget* budget_;
        std::uint64_t bytes_;
    };

    // Waits until `bytes` fit beside what the other decoders hold. A decoder that needs more
    // than the whole budget runs alone rather than never: the codec's own limit bounds it.
    [[nodiscard]] reservation reserve(std::uint64_t bytes);

    [[nodiscard]] std::uint64_t held() const;

private:
    void release(std::uint64_t bytes);

    const std::uint64_t total_;
    mutable std::mutex mutex_;
    std::condition_variable freed_; // raised with mutex_ whenever a reservation ends
    std::uint64_t held_ = 0;        // guarded by mutex_
    std::uint32_t holders_ = 0;     // guarded by mutex_
};

} // namespace qz4
