// What a failed update run tells the player: the status line on the splash and the detail
// the failure box shows after "Error:".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qz4 {

struct failure_report {
    std::wstring status_text; // in the player's language
    std::wstring error_text;  // English only
};

// Download failures are reported when there are any (their count is of failed attempts),
// unpack failures otherwise (their count is of files); each error entry becomes one
// "File:" line, from every pass of the run.
[[nodiscard]] failure_report make_failure_report(std::uint32_t download_failures,
                                                 std::uint32_t unpack_failures,
                                                 const std::vector<std::wstring>& download_errors,
                                                 const std::vector<std::wstring>& unpack_errors,
                                                 bool russian);

// The volume lacks room for the files a pass would fetch: both sizes, and the game's folder
// in the detail.
[[nodiscard]] failure_report make_space_report(std::uint64_t needed, std::uint64_t free,
                                               const std::wstring& game_dir, bool russian);

} // namespace qz4
