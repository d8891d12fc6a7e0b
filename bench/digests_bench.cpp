// Both digests of a 1 GiB file in one pass (file_digests: SHA-1 and SHA-256 from one read)
// against the openssl tool hashing the same file twice, once per digest, in the same run. The
// file stays in the page cache, so the figures compare the hashing, not the disk.
//   qz4_bench_digests [MiB]
#include "bench/bench_support.hpp"
#include "common/file_digests.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace qz4;

constexpr int rounds = 5;

double mib_per_second(double seconds, std::size_t bytes) {
    return static_cast<double>(bytes) / (1 << 20) / seconds;
}

double run_openssl(const char* digest, const std::filesystem::path& file) {
    const auto figures = bench::run_measured({"openssl", "dgst", digest, file.string()}, file.parent_path());
    if (figures.exit_code != 0) {
        std::fprintf(stderr, "openssl dgst %s failed\n", digest);
        std::exit(1);
    }
    return figures.wall_seconds;
}

// Each hash alone on the same bytes in memory, and both in one pass.
void in_memory_rates() {
    std::vector<std::uint8_t> memory(std::size_t{256} << 20, 0x5A);
    const auto rate = [&](const std::function<void()>& work) {
        return mib_per_second(bench::median(bench::time_runs(rounds, work)), memory.size());
    };
    sha1_context sha1;
    sha256_context sha256;
    digest_context both(digest_kinds::sha1_and_sha256);
    const double sha1_rate = rate([&] {
        for (std::size_t at = 0; at < memory.size(); at += 1 << 20)
            sha1.update(memory.data() + at, 1 << 20);
        sha1_digest digest{};
        sha1.final(digest);
        sha1.reset();
    });
    const double sha256_rate = rate([&] {
        sha256.update(memory.data(), memory.size());
        sha256_digest digest{};
        sha256.finish(digest);
    });
    const double both_rate = rate([&] {
        both.update(memory.data(), memory.size());
        (void)both.finish();
    });
    std::printf("In memory, %zu MiB:\n", memory.size() >> 20);
    std::printf("  SHA-1 alone              %8.1f MiB/s\n", sha1_rate);
    std::printf("  SHA-256 alone            %8.1f MiB/s\n", sha256_rate);
    std::printf("  both, one pass           %8.1f MiB/s  (the two alone in turn: %.1f MiB/s)\n", both_rate,
                1.0 / (1.0 / sha1_rate + 1.0 / sha256_rate));
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? static_cast<std::size_t>(std::strtoull(argv[1], nullptr, 10)) : 1024;
    const std::size_t file_bytes = mib << 20;
    bench::scratch_dir dir;
    const auto file = dir.path() / "data.bin";
    bench::write_random_file(file, file_bytes, 1);
    const std::wstring path = bench::wide_path(file);

    byte_buffer buffer;
    digest_context both(digest_kinds::sha1_and_sha256);
    // Warms the page cache, and checks the digests before anything is timed.
    const digest_texts texts = file_digests(path, buffer, both);
    std::printf("%s\n%s\n", texts.sha1.c_str(), texts.sha256.c_str());

    // In turns, so that drift of the machine's speed affects all alike.
    std::vector<double> ours, sha1_tool, sha256_tool, ours_sha1;
    digest_context sha1_only(digest_kinds::sha1);
    for (int i = 0; i < rounds; ++i) {
        ours.push_back(bench::time_runs(1, [&] { (void)file_digests(path, buffer, both); })[0]);
        sha1_tool.push_back(run_openssl("-sha1", file));
        sha256_tool.push_back(run_openssl("-sha256", file));
        ours_sha1.push_back(bench::time_runs(1, [&] { (void)file_digests(path, buffer, sha1_only); })[0]);
    }
    const double ours_s = bench::median(ours);
    const double sha1_s = bench::median(sha1_tool);
    const double sha256_s = bench::median(sha256_tool);
    std::printf("SHA-1 and SHA-256 of a %zu MiB file from the page cache (median of %d runs)\n", mib, rounds);
    std::printf("  file_digests, both in one pass   %7.3f s  %8.1f MiB/s\n", ours_s,
                mib_per_second(ours_s, file_bytes));
    std::printf("  file_digests, SHA-1 alone        %7.3f s  %8.1f MiB/s\n", bench::median(ours_sha1),
                mib_per_second(bench::median(ours_sha1), file_bytes));
    std::printf("  openssl dgst -sha1               %7.3f s  %8.1f MiB/s\n", sha1_s,
                mib_per_second(sha1_s, file_bytes));
    std::printf("  openssl dgst -sha256             %7.3f s  %8.1f MiB/s\n", sha256_s,
                mib_per_second(sha256_s, file_bytes));
    std::printf("  both in one pass / (sha1 + sha256 tools) %6.3f  (goal <= 1.1)\n",
                ours_s / (sha1_s + sha256_s));
    in_memory_rates();
    return 0;
}
