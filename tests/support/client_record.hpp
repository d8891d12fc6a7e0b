// Reading what the stand-in game client recorded about its start.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace qz4::test {

struct client_record {
    std::string working_directory;
    std::string marker;       // the QZ4LAUNCHER variable, "(unset)" when absent
    std::string command_line; // the whole command line (Windows only; empty elsewhere)
    std::vector<std::string> arguments;
    std::vector<std::string> notes; // what the client's platform entry noticed about its start
};

// Waits for the client in `directory` to finish writing its first record.
[[nodiscard]] bool wait_for_client_record(const std::filesystem::path& directory, client_record& record,
                                          std::chrono::milliseconds timeout = std::chrono::seconds(20));

} // namespace qz4::test
