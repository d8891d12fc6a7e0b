#include "bench/bench_support.hpp"

#include "common/encoding.hpp"

#include <algorithm>
#include <fstream>
#include <random>
#include <stdexcept>
#include <thread>

namespace qz4::bench {

std::vector<double> time_runs(int rounds, const std::function<void()>& work) {
    std::vector<double> seconds;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return seconds;
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

scratch_dir::scratch_dir() {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() / ("qz4-bench-" + std::to_string(stamp));
    if (!std::filesystem::create_directories(path_))
        throw std::runtime_error("cannot create " + path_.string());
}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::wstring wide_path(const std::filesystem::path& path) {
    const std::u8string utf8 = path.generic_u8string();
    std::wstring wide =
        utf8_to_wide(std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()));
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return wide;
}

void write_random_file(const std::filesystem::path& path, std::size_t size, unsigned seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::mt19937_64 generator(seed);
    std::vector<std::uint64_t> chunk(1 << 17);
    for (std::size_t written = 0; written < size;) {
        for (auto& word : chunk)
            word = generator();
        const std::size_t n = std::min(size - written, chunk.size() * sizeof(std::uint64_t));
        out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(n));
        written += n;
    }
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

std::string wait_for_base_url(const std::filesystem::path& state_dir) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(state_dir / "server.txt");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("base_url=", 0) == 0)
                return line.substr(9);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("the server did not start: no base URL in " +
                             (state_dir / "server.txt").string());
}

} // namespace qz4::bench
