// file_sha1 throughput on a 256 MiB file next to OpenSSL's SHA-1 reading the same file the
// same way (1 MiB reads through the same handle type), so the ratio compares the hashing.
// Also prints the in-memory rate of each transform.
#include "bench/bench_support.hpp"
#include "common/file_handle.hpp"
#include "common/sha1.hpp"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace qz4;

constexpr std::size_t file_bytes = std::size_t{256} << 20;
constexpr int rounds = 7;

std::string openssl_file_sha1(const std::wstring& path, std::vector<std::uint8_t>& buffer) {
    file_handle file = file_handle::open_read(path);
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha1(), nullptr);
    for (;;) {
        const auto got = read_fully(file, buffer.data(), buffer.size());
        if (!got || *got == 0)
            break;
        EVP_DigestUpdate(context.get(), buffer.data(), *got);
    }
    sha1_digest digest{};
    unsigned length = 0;
    EVP_DigestFinal_ex(context.get(), digest.data(), &length);
    return digest_text(digest);
}

double mib_per_second(double seconds, std::size_t bytes) {
    return static_cast<double>(bytes) / (1 << 20) / seconds;
}

double in_memory_rate(sha1_transform_kind kind, const std::vector<std::uint8_t>& data) {
    if (!sha1_select_transform(kind))
        return 0;
    const auto times = bench::time_runs(rounds, [&] {
        sha1_context context;
        context.update(data.data(), static_cast<std::uint32_t>(data.size()));
        sha1_digest digest{};
        context.final(digest);
    });
    return mib_per_second(bench::median(times), data.size());
}

} // namespace

int main() {
    bench::scratch_dir dir;
    const auto file = dir.path() / "data.bin";
    bench::write_random_file(file, file_bytes, 1);
    const std::wstring path = bench::wide_path(file);

    byte_buffer buffer;
    sha1_context context;
    std::vector<std::uint8_t> openssl_buffer(1 << 20);
    // Warm the page cache and check that both agree before timing anything.
    const std::string ours = file_sha1(path, buffer, context);
    const std::string reference = openssl_file_sha1(path, openssl_buffer);
    if (ours != reference) {
        std::fprintf(stderr, "digests differ: %s vs %s\n", ours.c_str(), reference.c_str());
        return 1;
    }

    // Alternate the two so that drift of the machine's speed affects both alike.
    std::vector<double> ours_times, openssl_times;
    for (int i = 0; i < rounds; ++i) {
        ours_times.push_back(bench::time_runs(1, [&] { (void)file_sha1(path, buffer, context); })[0]);
        openssl_times.push_back(
            bench::time_runs(1, [&] { (void)openssl_file_sha1(path, openssl_buffer); })[0]);
    }
    const double ours_rate = mib_per_second(bench::median(ours_times), file_bytes);
    const double openssl_rate = mib_per_second(bench::median(openssl_times), file_bytes);

    std::printf("SHA-1 of a %zu MiB file (median of %d runs, transform: %s)\n", file_bytes >> 20, rounds,
                sha1_active_transform() == sha1_transform_kind::portable ? "portable" : "x86 SHA extensions");
    std::printf("  file_sha1          %8.1f MiB/s\n", ours_rate);
    std::printf("  OpenSSL SHA-1      %8.1f MiB/s\n", openssl_rate);
    std::printf("  ratio ours/OpenSSL %8.3f  (goal: >= 1.0)\n", ours_rate / openssl_rate);

    std::vector<std::uint8_t> memory(std::size_t{64} << 20, 0x5A);
    std::printf("In memory, 64 MiB:\n");
    std::printf("  portable transform       %8.1f MiB/s\n",
                in_memory_rate(sha1_transform_kind::portable, memory));
    if (sha1_transform_available(sha1_transform_kind::x86_sha_extensions))
        std::printf("  SHA extensions transform %8.1f MiB/s\n",
                    in_memory_rate(sha1_transform_kind::x86_sha_extensions, memory));
    return 0;
}
