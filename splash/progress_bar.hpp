// How long the progress bar is: the window and the terminal use the same rule.
#pragma once

#include <cstdint>

namespace qz4 {

// min(value, total) / total of `full_width`, computed in single precision and truncated,
// but never shorter than `minimum`. 0 when total is 0 (no bar at all).
[[nodiscard]] std::uint32_t progress_bar_width(std::uint32_t value, std::uint32_t total,
                                               std::uint32_t full_width, std::uint32_t minimum);

} // namespace qz4
