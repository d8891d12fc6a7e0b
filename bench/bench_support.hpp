// Small helpers shared by the benchmark programs: timing, medians, scratch files.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qz4::bench {

// Runs `work` `rounds` times and returns each run's wall time in seconds.
[[nodiscard]] std::vector<double> time_runs(int rounds, const std::function<void()>& work);
[[nodiscard]] double median(std::vector<double> values);

// A scratch directory below the system's temporary directory, removed on destruction.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The program's form of a path: wide, with backslashes.
[[nodiscard]] std::wstring wide_path(const std::filesystem::path& path);

// Writes `size` reproducible pseudo-random bytes.
void write_random_file(const std::filesystem::path& path, std::size_t size, unsigned seed);

// Runs a program to completion (its output discarded) and reports its wall time and the
// peak resident memory of the process, as the operating system accounted them.
struct process_figures {
    int exit_code = -1;
    double wall_seconds = 0;
    double cpu_seconds = 0; // user and system time of the process and its threads
    double user_seconds = 0;
    double system_seconds = 0;
    double peak_mib = 0;
};
[[nodiscard]] process_figures run_measured(const std::vector<std::string>& argv,
                                           const std::filesystem::path& directory);

// The base URL a server started with `--state-dir DIR` writes into DIR/server.txt, once it
// is there (at most 10 seconds).
[[nodiscard]] std::string wait_for_base_url(const std::filesystem::path& state_dir);

// The same files also over https, with a certificate for localhost from the tests' authority
// in `authority` (made there when missing).
struct nginx_tls {
    std::uint16_t port = 0;
    std::filesystem::path authority;
};

// nginx on 127.0.0.1:`port` serving `state`/www, through the end-to-end tests' fixture
// script (run by `python`); it also ends when this process does.
class nginx_process {
public:
    nginx_process(const std::string& python, const std::string& fixture, const std::filesystem::path& state,
                  std::uint16_t port, const std::optional<nginx_tls>& tls = std::nullopt);
    ~nginx_process();
    nginx_process(const nginx_process&) = delete;
    nginx_process& operator=(const nginx_process&) = delete;

private:
    std::string python_;
    std::string fixture_;
    std::filesystem::path state_;
};

} // namespace qz4::bench
