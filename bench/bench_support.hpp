// Small helpers shared by the benchmark programs: timing, medians, scratch files.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
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

} // namespace qz4::bench
