// Shared pieces of the fuzz targets: scratch files for the targets that go through files,
// and a check that turns a broken property into a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace qz4::fuzz {

// A file in a directory of this process's own, below $QZ4_FUZZ_SCRATCH (the scripts point it
// at a memory file system) or the system's temporary directory; removed when the process
// exits. In the program's form: wide, with backslashes.
[[nodiscard]] std::wstring scratch_file(std::string_view name);

// The program's form of a path.
[[nodiscard]] std::wstring wide_path(const std::filesystem::path& path);

// Creates or replaces the file; a failure is a finding, never a silent pass.
void write_bytes(const std::wstring& path, std::string_view bytes);
// The whole file; an empty string when it is empty or does not exist.
[[nodiscard]] std::string read_bytes(const std::wstring& path);

[[nodiscard]] inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// Reports a broken property and aborts, which libFuzzer records as a crash with its input.
[[noreturn]] void fail(const char* condition, const char* file, int line);

} // namespace qz4::fuzz

#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition))                                                                                    \
            ::qz4::fuzz::fail(#condition, __FILE__, __LINE__);                                               \
    } while (false)
