#include "update/engine/transfer_meter.hpp"

#include <cmath>

namespace qz4 {

namespace {

// Below a byte a second a pass is stalled, not slow: no figures, and no time left that would
// divide by next to nothing.
constexpr double slowest_rate = 1.0;

double seconds_between(transfer_meter::clock::time_point from, transfer_meter::clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

} // namespace

std::optional<transfer_figures> transfer_meter::record(clock::time_point now, std::uint64_t bytes_so_far,
                                                       std::uint64_t bytes_total) {
    if (now.time_since_epoch().count() < next_due_.load(std::memory_order_relaxed))
        return std::nullopt;
    std::lock_guard lock(mutex_);
    if (!started_ || now < last_time_ + report_interval) {
        if (!started_) {
            started_ = true;
            last_time_ = now;
            last_bytes_ = bytes_so_far;
            next_due_ = (now + report_interval).time_since_epoch().count();
        }
        return std::nullopt;
    }

    const double elapsed = seconds_between(last_time_, now);
    const double moved = bytes_so_far >= last_bytes_ ? static_cast<double>(bytes_so_far - last_bytes_) : 0.0;
    const double recent = moved / elapsed;
    // Weighted by the time each sample covers, so irregular calls smooth the same way.
    const double weight = 1.0 - std::exp(-elapsed / std::chrono::duration<double>(smoothing_time).count());
    rate_ = has_rate_ ? rate_ + weight * (recent - rate_) : recent;
    has_rate_ = true;
    last_time_ = now;
    last_bytes_ = bytes_so_far;
    next_due_ = (now + report_interval).time_since_epoch().count();

    transfer_figures figures;
    if (rate_ >= slowest_rate) {
        figures.bytes_per_second = rate_;
        const std::uint64_t remaining = bytes_total > bytes_so_far ? bytes_total - bytes_so_far : 0;
        figures.seconds_left = static_cast<double>(remaining) / rate_;
    }
    return figures;
}

} // namespace qz4
