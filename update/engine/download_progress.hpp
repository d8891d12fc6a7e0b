// The download stage's bar and percentage, over the whole pass: files already verified
// count with their full size, the file in transfer with the bytes received so far.
#pragma once

#include <cstdint>
#include <optional>

namespace qz4 {

// The width of the splash picture: the download stage's bar runs over this many units.
inline constexpr std::uint32_t download_bar_units = 550;

struct download_progress {
    std::uint32_t bar = 0; // 0..download_bar_units
    int percent = 0;       // 0..100
};

// Nullopt when nothing is queued (no total to take a share of). Never beyond the full bar,
// also when a transfer reports more than its file's announced size.
[[nodiscard]] std::optional<download_progress>
pass_download_progress(std::uint64_t bytes_done, double received, std::uint64_t bytes_total);

} // namespace qz4
