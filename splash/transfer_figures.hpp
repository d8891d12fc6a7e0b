// The download's rate and time left as short texts for displays with room for them.
#pragma once

#include <string>

namespace qz4 {

struct transfer_figures_text {
    std::wstring rate;      // "3.4 MiB/s"; empty: nothing to show
    std::wstring time_left; // "1:23 left"; empty when the time is unknown or absurd
};

// "512 B/s", "3.4 KiB/s", "12.0 MiB/s", "1.1 GiB/s"; empty for a rate that is not positive
// or not finite.
[[nodiscard]] std::wstring rate_text(double bytes_per_second);
// "0:07", "1:23", "1:02:03" (rounded up to whole seconds); empty when not finite, negative or
// beyond 99 hours, where an estimate says nothing a player can use.
[[nodiscard]] std::wstring duration_text(double seconds);
// Both, the time in the player's language; a time left only beside a rate.
[[nodiscard]] transfer_figures_text describe_transfer(double bytes_per_second, double seconds_left,
                                                      bool russian);
// The rate and the time left on one line ("3.4 MiB/s, 1:23 left"); the rate alone without a time.
[[nodiscard]] std::wstring joined_figures(const transfer_figures_text& figures);

} // namespace qz4
