// The program's command line: splitting it the way the launcher always has, and the
// start-up flags.
#pragma once

#include "update/engine/transfer_limits.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qz4 {

// Splits a Windows command line (program name first). Spaces separate tokens outside
// double quotes (tabs do not), quotes are dropped, a backslash before a quote makes the
// quote literal, and outside quotes a backslash pair yields a double quote. Empty tokens
// are never produced.
[[nodiscard]] std::vector<std::wstring> split_command_line(std::wstring_view command_line);

struct start_options {
    bool patch_maker = false;
    bool sleep_after = false;
    bool no_update = false;
    bool self_update_allowed = true;
    bool repair = false; // "-repair": hash every checked file, rebuild the stamp cache
    std::uint32_t connections = default_connections; // "-connections=N", 1 to max_connections
    std::uint64_t max_rate = 0;                      // bytes per second from "-maxrate=KiB/s"; 0: no cap

    bool operator==(const start_options&) const = default;
};

// The most "-maxrate=N" may give, in KiB/s (4 GiB/s): far beyond any player's link, and small
// enough that the rate in bytes stays exact in every counter it reaches.
inline constexpr std::uint64_t max_rate_kib = 4 * 1024 * 1024;

// Matches every token after the first (the program) against the flags, whole and with
// ASCII letters folded; "-connections=" and "-maxrate=" are such prefixes, followed by a
// decimal number within their range. Anything else, a number out of range included, is
// ignored; of a flag given twice with a value, the last valid one counts.
[[nodiscard]] start_options parse_start_options(const std::vector<std::wstring>& tokens);

} // namespace qz4
