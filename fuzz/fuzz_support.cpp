#include "fuzz/fuzz_support.hpp"

#include "common/byte_buffer.hpp"
#include "common/encoding.hpp"
#include "common/file_handle.hpp"
#include "common/file_system.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace qz4::fuzz {

namespace {

// Owns the directory: created on first use, removed with everything in it at exit.
class scratch {
public:
    scratch() {
        const char* base = std::getenv("QZ4_FUZZ_SCRATCH");
        const std::filesystem::path root = base != nullptr && *base != '\0'
                                               ? std::filesystem::path(base)
                                               : std::filesystem::temp_directory_path();
        std::filesystem::create_directories(root);
        // Parallel fuzzing processes share the root; each takes a name no other has taken.
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        for (int attempt = 0;; ++attempt) {
            path_ = root / ("qz4-fuzz-" + std::to_string(stamp) + "-" + std::to_string(attempt));
            if (std::filesystem::create_directory(path_))
                break;
        }
    }
    ~scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    scratch(const scratch&) = delete;
    scratch& operator=(const scratch&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace

std::wstring scratch_file(std::string_view name) {
    static const scratch directory;
    return wide_path(directory.path() / name);
}

std::wstring wide_path(const std::filesystem::path& path) {
    std::wstring wide = utf8_to_wide(path.generic_string());
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return wide;
}

void write_bytes(const std::wstring& path, std::string_view bytes) {
    file_handle file = file_handle::create_write(path);
    FUZZ_CHECK(file.is_open() && write_fully(file, bytes.data(), bytes.size()));
}

std::string read_bytes(const std::wstring& path) {
    byte_buffer buffer;
    if (!read_file_bytes(path, buffer))
        return {};
    return std::string(reinterpret_cast<const char*>(buffer.data()), buffer.length);
}

void fail(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "==FUZZ CHECK FAILED== %s:%d: %s\n", file, line, condition);
    std::abort();
}

} // namespace qz4::fuzz
