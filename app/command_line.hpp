// The program's command line: splitting it the way the launcher always has, and the four
// start-up flags.
#pragma once

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
};

// Matches every token after the first (the program) against the flags, whole and with
// ASCII letters folded; anything else is ignored.
[[nodiscard]] start_options parse_start_options(const std::vector<std::wstring>& tokens);

} // namespace qz4
