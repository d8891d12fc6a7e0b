// Closing the game clients that run from this installation before files are replaced.
#pragma once

#include <chrono>
#include <string>

namespace qz4 {

// Repeats until no process runs from exactly game_exe_path (true) or the player declines
// to close them (false). Each pass with matches asks once, ends every match, waits
// `settle_time` and looks again, so a client that survives makes it ask again.
[[nodiscard]] bool
close_game_instances(const std::wstring& game_exe_path,
                     std::chrono::milliseconds settle_time = std::chrono::milliseconds(1500));

} // namespace qz4
