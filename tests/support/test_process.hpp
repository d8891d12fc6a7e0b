// Running helper programs from tests: to completion, or in the background until stopped.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qz4::test {

struct run_result {
    int exit_code = -1;
    std::string output; // standard output and standard error together
};

// Runs the program in `directory` and waits for it (killing it after `timeout`).
[[nodiscard]] run_result run_program(const std::filesystem::path& program,
                                     const std::vector<std::string>& arguments,
                                     const std::filesystem::path& directory,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A program running in the background; the destructor kills it if it still runs.
class background_process {
public:
    background_process(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                       const std::filesystem::path& directory);
    ~background_process();
    background_process(const background_process&) = delete;
    background_process& operator=(const background_process&) = delete;

    [[nodiscard]] std::uint32_t id() const { return id_; }
    // True once the process has ended (it is reaped on the way).
    [[nodiscard]] bool finished();
    // Waits for the end and returns the exit code; -1 (and the process killed) on time-out.
    [[nodiscard]] int wait_for_exit(std::chrono::milliseconds timeout);
    void kill();

private:
    std::uint32_t id_ = 0;
    std::intptr_t handle_ = 0; // process handle where the system has one
    int exit_code_ = -1;
};

// The arguments a client started by the launcher receives, for the given launcher
// arguments: the same list where arguments pass as a vector, re-split where they pass as
// one command line.
[[nodiscard]] std::vector<std::string>
arguments_seen_by_client(const std::vector<std::string>& launcher_arguments);

} // namespace qz4::test
