#include "update/engine/bandwidth_limit.hpp"

#include <algorithm>
#include <cmath>

namespace qz4 {

namespace {

constexpr std::uint64_t receive_buffer = 100 * 1024;

} // namespace

bandwidth_limit::bandwidth_limit(std::uint64_t bytes_per_second)
    : rate_(static_cast<double>(bytes_per_second)), burst_(std::max(bytes_per_second / 4, receive_buffer)) {}

std::chrono::nanoseconds bandwidth_limit::take(std::size_t bytes, clock::time_point now) {
    if (rate_ <= 0)
        return std::chrono::nanoseconds::zero();
    std::lock_guard lock(mutex_);
    const auto burst = static_cast<double>(burst_);
    if (!started_) {
        started_ = true;
        last_ = now;
        tokens_ = burst;
    } else if (now > last_) {
        tokens_ = std::min(burst, tokens_ + rate_ * std::chrono::duration<double>(now - last_).count());
        last_ = now;
    }
    tokens_ -= static_cast<double>(bytes);
    if (tokens_ >= 0)
        return std::chrono::nanoseconds::zero();
    // The debt is the whole queue's: each caller waits until everything taken so far is paid
    // off at the rate, so that callers arriving together are spread out, not let through.
    // The debt is reckoned from the latest reading; a caller whose clock reading came before
    // another's (it read the clock, then waited for the lock) waits that much longer.
    const auto paid_off =
        std::chrono::nanoseconds(static_cast<std::int64_t>(std::ceil(-tokens_ / rate_ * 1e9)));
    return paid_off + std::max(last_ - now, clock::duration::zero());
}

} // namespace qz4
