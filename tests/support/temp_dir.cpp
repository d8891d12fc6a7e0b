#include "tests/support/temp_dir.hpp"

#include "common/encoding.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace qz4::test {

std::wstring wide_path(const std::filesystem::path& path) {
    const std::u8string utf8 = path.generic_u8string();
    std::wstring wide =
        utf8_to_wide(std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()));
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return wide;
}

temp_dir::temp_dir() {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = base / ("qz4-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        if (std::filesystem::create_directory(candidate)) {
            path_ = std::filesystem::canonical(candidate);
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path temp_dir::native(std::string_view relative) const {
    std::string portable(relative);
    std::replace(portable.begin(), portable.end(), '\\', '/');
    return portable.empty() ? path_ : path_ / std::filesystem::u8path(portable);
}

std::wstring temp_dir::wide(std::string_view relative) const {
    return wide_path(native(relative));
}

void write_file(const std::filesystem::path& path, std::string_view content) {
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::map<std::string, std::string> snapshot(const std::filesystem::path& dir) {
    std::map<std::string, std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        const std::string name = std::filesystem::relative(entry.path(), dir).generic_string();
        found[name] = entry.is_directory() ? "<dir>" : read_file(entry.path());
    }
    return found;
}

std::string random_bytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes)
        byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

} // namespace qz4::test
