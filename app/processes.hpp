// Process services the launcher needs: finding running game clients, ending them, and
// starting the game or a new copy of the launcher.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qz4 {

// Ids of all running processes. Where the system fills a caller's buffer (Windows), the
// buffer starts with room for `initial_capacity` ids and grows until every id fits.
inline constexpr std::size_t default_process_capacity = 1024;
[[nodiscard]] std::vector<std::uint32_t>
enumerate_process_ids(std::size_t initial_capacity = default_process_capacity);

// Full path of the process's executable in wide Windows form; empty when it cannot be read.
[[nodiscard]] std::wstring process_image_path(std::uint32_t process_id);

// Forcibly ends the process and waits up to wait_ms for it to go. Failures are silent.
void terminate_process(std::uint32_t process_id, unsigned wait_ms);

// Starts a program in the given directory with the current environment and does not wait.
// On Windows the command line is game_command_line(program, arguments); elsewhere the
// arguments are passed as they are. On failure last_system_error() tells why.
[[nodiscard]] bool spawn_process(const std::wstring& program, const std::vector<std::wstring>& arguments,
                                 const std::wstring& working_directory);

// Starts `program` in its own directory with the command line `tokens` (the program's
// name first), as a restarted launcher is started.
[[nodiscard]] bool relaunch_program(const std::wstring& program, const std::vector<std::wstring>& tokens);

// Starts the program at `exe_path` (this program's own path, where a self-update put the
// new executable) with the command line this process received, in its directory. `tokens`
// is that command line, already split.
[[nodiscard]] bool relaunch_self(const std::wstring& exe_path, const std::vector<std::wstring>& tokens);

// The error of the last failed call above (a Win32 error code, or an errno value).
[[nodiscard]] std::uint32_t last_system_error();

bool set_environment_variable(const std::wstring& name, const std::wstring& value);

} // namespace qz4
