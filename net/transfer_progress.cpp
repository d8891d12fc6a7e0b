#include "net/transfer_progress.hpp"

#include <algorithm>

namespace qz4 {

namespace {

// libcurl's counts come from signed 64-bit integers. Anything else (negative, not a number,
// infinite, larger) cannot be a byte count and is never reported, which also keeps every
// quotient below finite.
constexpr double largest_count = 9223372036854775808.0; // 2^63

bool is_byte_count(double value) {
    return value >= 0.0 && value <= largest_count; // false for NaN
}

} // namespace

std::uint64_t whole_bytes(double count) {
    // 2^63 itself does not fit a signed count; libcurl never gives it.
    return is_byte_count(count) && count < largest_count ? static_cast<std::uint64_t>(count) : 0;
}

std::optional<progress_report> next_progress_report(double total, double received, std::int64_t elapsed_ms,
                                                    double& average_rate, double& last_reported) {
    if (!is_byte_count(total) || !is_byte_count(received) || total == 0.0 || received == 0.0)
        return std::nullopt;
    if (!(received - last_reported >= progress_report_step))
        return std::nullopt;
    last_reported = received;

    // A server may send more than it announced; the bar still ends at 100 and no time is "owed".
    const double fraction = std::min(received / total, 1.0);

    // Before the first whole millisecond has passed, count one: the rate then stays finite and
    // is a lower bound of the true one (everything so far arrived within that millisecond).
    // The received count is at least one report step here, so the rate, and with it the
    // smoothed rate that divides the time left, is always above zero.
    const std::int64_t milliseconds = std::max<std::int64_t>(elapsed_ms, 1);
    const double seconds = static_cast<double>(static_cast<float>(milliseconds) / 1000.0f);
    const double rate = received / seconds;

    average_rate = average_rate == 0.0 ? rate : average_rate * 0.75 + rate * 0.25;

    progress_report report;
    report.percent = static_cast<int>(fraction * 100.0);
    report.remaining_seconds = std::max(total - received, 0.0) / average_rate;
    report.rate = rate;
    report.total = total;
    report.received = received;
    return report;
}

} // namespace qz4
