// A cap on the download rate over every transfer of a pass ("-maxrate"): a token bucket that
// the transfers draw their received bytes from.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace qz4 {

class bandwidth_limit {
public:
    using clock = std::chrono::steady_clock;

    // 0 bytes per second: no cap, every take is free.
    explicit bandwidth_limit(std::uint64_t bytes_per_second);

    // Debits `bytes` just received and returns how long the caller must wait from `now` so
    // that all callers together stay at the rate: 0 while within the budget. Callers that
    // wait what they are told and then go on never exceed the rate by more than one burst.
    // Any thread.
    [[nodiscard]] std::chrono::nanoseconds take(std::size_t bytes, clock::time_point now);

    // The bytes a transfer may take at once after an idle spell: a quarter second at the
    // rate, so that the cap is felt within a fraction of a second; but never less than one
    // receive buffer (100 KiB), since a bucket that cannot hold one write would make even the
    // first write after an idle spell wait, and at low caps every write would stall in turn.
    [[nodiscard]] std::uint64_t burst() const { return burst_; }

private:
    const double rate_; // bytes per second; 0: no cap
    const std::uint64_t burst_;
    std::mutex mutex_; // guards the fields below
    bool started_ = false;
    clock::time_point last_{}; // when the bucket was last filled up to
    double tokens_ = 0;        // bytes that may go now; below 0 a debt the callers wait off
};

} // namespace qz4
