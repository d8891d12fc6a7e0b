// Test helpers for files: a scratch directory removed at the end of the test, and the
// conversions between std::filesystem paths and the program's wide Windows-form paths.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace qz4::test {

// The program's form of a path: wide, with backslashes.
[[nodiscard]] std::wstring wide_path(const std::filesystem::path& path);

class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    // A path below the directory, in the program's form ("a\\b" or "a/b" both work).
    [[nodiscard]] std::wstring wide(std::string_view relative = {}) const;
    [[nodiscard]] std::filesystem::path native(std::string_view relative) const;

private:
    std::filesystem::path path_;
};

void write_file(const std::filesystem::path& path, std::string_view content);
[[nodiscard]] std::string read_file(const std::filesystem::path& path);
// Everything below `dir` by its relative path, with its content ("<dir>" for directories);
// the walk does not descend into a linked directory.
[[nodiscard]] std::map<std::string, std::string> snapshot(const std::filesystem::path& dir);
// Reproducible pseudo-random bytes.
[[nodiscard]] std::string random_bytes(std::size_t size, std::uint32_t seed);

} // namespace qz4::test
