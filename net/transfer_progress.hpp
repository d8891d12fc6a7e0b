// The arithmetic behind the downloader's progress reports, free of clocks and libcurl so that
// it can be fed any figures: which calls make a report, the smoothed rate, the time left.
#pragma once

#include <cstdint>
#include <optional>

namespace qz4 {

struct progress_report {
    int percent = 0;              // 0..100, truncated toward zero
    double remaining_seconds = 0; // from the smoothed rate
    double rate = 0;              // bytes per second since the transfer started
    double total = 0;             // bytes expected
    double received = 0;          // bytes received so far
};

// What a transfer's progress callback sees, on every progress call of libcurl.
struct transfer_progress {
    std::uint64_t received = 0; // body bytes of this transfer so far
    std::uint64_t expected = 0; // the length the answer announced; 0 when it announced none
    // The figures, at most once per progress_report_step received bytes and only for an
    // announced length; empty on the calls between.
    std::optional<progress_report> report;
};

// Reports come at least this many received bytes apart.
inline constexpr double progress_report_step = 1024.0;

// Given libcurl's figures (bytes expected, 0 when unknown; bytes received) and the whole
// milliseconds since the transfer started, returns the report to make, if any. When there is
// one, `last_reported` becomes `received` and `average_rate` takes in the new rate (it is
// replaced outright while still 0). Every value reported is finite.
[[nodiscard]] std::optional<progress_report> next_progress_report(double total, double received,
                                                                  std::int64_t elapsed_ms,
                                                                  double& average_rate,
                                                                  double& last_reported);

// One of libcurl's double counts as whole bytes; 0 for anything that cannot be one (negative,
// not a number, beyond a 64-bit count).
[[nodiscard]] std::uint64_t whole_bytes(double count);

} // namespace qz4
