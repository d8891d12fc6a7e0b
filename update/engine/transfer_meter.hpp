// The download rate of a whole pass, over every transfer running at once, and the time the
// rest of the pass takes at that rate: what the splash shows beside the bar.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>

namespace qz4 {

struct transfer_figures {
    double bytes_per_second = 0; // smoothed; 0 while nothing moves
    double seconds_left = 0;     // what remains at that rate; 0 with a rate of 0
};

// Any thread may record; every transfer's progress report can call it, since all but one
// call in a quarter second return at once without taking the lock.
class transfer_meter {
public:
    using clock = std::chrono::steady_clock;

    // Figures at most once per `report_interval`, the first one interval after the first
    // call. `bytes_so_far` is the pass's whole count (the caller sums its transfers); a count
    // that falls (a transfer started over) only moves the base. Every figure is finite.
    [[nodiscard]] std::optional<transfer_figures> record(clock::time_point now, std::uint64_t bytes_so_far,
                                                         std::uint64_t bytes_total);

    static constexpr std::chrono::milliseconds report_interval{250};
    // How long the rate remembers: a change of pace shows within about this time, while the
    // ups and downs of single reports (a burst of buffered bytes, a pause of one connection
    // among several) are evened out.
    static constexpr std::chrono::milliseconds smoothing_time{1500};

private:
    // The earliest time, in clock ticks, at which a call can make figures: the lock-free test
    // that turns most calls away.
    std::atomic<clock::rep> next_due_{std::numeric_limits<clock::rep>::min()};
    std::mutex mutex_; // guards the fields below
    bool started_ = false;
    clock::time_point last_time_{};
    std::uint64_t last_bytes_ = 0;
    double rate_ = 0;
    bool has_rate_ = false;
};

} // namespace qz4
