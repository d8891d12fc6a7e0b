// Wall-clock time for what outlives a run: the expiry the publisher signs into version.json
// and the launcher compares with its own clock. Seconds since 1970-01-01 00:00:00 UTC.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace qz4 {

// The clock an expiry is set from or compared with; empty means the system's. Tests set
// their own.
using wall_clock = std::function<std::chrono::system_clock::time_point()>;

// The clock's reading in whole seconds; 0 for a reading before 1970.
[[nodiscard]] std::uint64_t unix_time_now(const wall_clock& clock);

// "2025-03-01 12:00:00 UTC", for any value (years beyond 9999 get more digits).
[[nodiscard]] std::string utc_time_text(std::uint64_t seconds);

} // namespace qz4
