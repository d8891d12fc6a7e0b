// POSIX: a modification time as the stamps and the Windows build count it, in 100 ns units
// since 1601, so that a stamp means the same whichever call took it.
#pragma once

#include <cstdint>
#include <ctime>

namespace qz4 {

[[nodiscard]] inline std::uint64_t windows_file_time(const timespec& time) {
    // Seconds between 1601-01-01 and 1970-01-01, the two epochs.
    constexpr std::uint64_t epoch_difference_seconds = 11644473600ULL;
    const auto seconds = static_cast<std::uint64_t>(time.tv_sec) + epoch_difference_seconds;
    return seconds * 10000000ULL + static_cast<std::uint64_t>(time.tv_nsec) / 100U;
}

} // namespace qz4
