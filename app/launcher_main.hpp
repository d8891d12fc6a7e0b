// The program's flow after the command line has been split: mode selection, the launcher's
// start-up, the outcome of the update, the game start, and the exit code.
#pragma once

#include <string>
#include <vector>

namespace qz4 {

// `tokens` is the whole command line, the program first. Returns the process exit code.
[[nodiscard]] int run_program(const std::vector<std::wstring>& tokens);
// The same for a program that found itself at `own_path` (empty when the system did not say).
[[nodiscard]] int run_program(const std::vector<std::wstring>& tokens, const std::wstring& own_path);

} // namespace qz4
