// Starting the game client with the launcher's own arguments.
#pragma once

#include <string>
#include <vector>

namespace qz4 {

// The Windows command line for the client: the path in double quotes, then each argument
// after one space, not quoted again.
[[nodiscard]] std::wstring game_command_line(const std::wstring& game_path,
                                             const std::vector<std::wstring>& arguments);

// Starts the client in its own directory with the launcher's arguments (`launcher_tokens`
// without its first token, the launcher itself). On false, last_system_error() says why.
[[nodiscard]] bool start_game(const std::wstring& game_path,
                              const std::vector<std::wstring>& launcher_tokens);

} // namespace qz4
