// What the signature checks cost a launcher per run: version.json and the index each
// verified once (SHA-256 of the document and one Ed25519 verification), for indexes from a
// small game to one of about a hundred thousand files; the patch maker's signing of the same;
// and, as the reference measured in the same run, the SHA-1 of the same bytes that the index
// already costs when a file of that size is verified.
#include "bench/bench_support.hpp"
#include "common/sha1.hpp"
#include "signatures/signatures.hpp"

#include <cstdio>
#include <random>
#include <vector>

namespace {

using namespace qz4;

constexpr char guid[] = "7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97";
constexpr int rounds = 15;

double milliseconds(const std::function<void()>& work) {
    return bench::median(bench::time_runs(rounds, work)) * 1000;
}

} // namespace

int main() {
    const signing_key key = signing_key::generate();
    const std::vector<public_key> keys{key.public_half()};
    const std::string version_text = "{\"gameupdate\":12}\r\n";
    const std::span version(reinterpret_cast<const std::uint8_t*>(version_text.data()), version_text.size());
    const signature_file version_signature = key.sign(signed_document::version, guid, 12, version);

    std::printf("%12s %14s %14s %14s\n", "index bytes", "verify (ms)", "sign (ms)", "SHA-1 (ms)");
    for (const std::size_t size : {std::size_t{4} << 10, std::size_t{1} << 20, std::size_t{16} << 20}) {
        std::vector<std::uint8_t> index(size);
        std::mt19937 random(1);
        for (auto& byte : index)
            byte = static_cast<std::uint8_t>(random());
        const signature_file index_signature = key.sign(signed_document::index, guid, 12, index);
        bool all_held = true;
        const double verify = milliseconds([&] {
            all_held &= verify_signature(keys, version_signature, signed_document::version, guid, 12, version);
            all_held &= verify_signature(keys, index_signature, signed_document::index, guid, 12, index);
        });
        const double sign = milliseconds([&] {
            (void)key.sign(signed_document::version, guid, 12, version);
            (void)key.sign(signed_document::index, guid, 12, index);
        });
        const double sha1 = milliseconds([&] {
            sha1_context context;
            context.update(index.data(), static_cast<std::uint32_t>(index.size()));
            sha1_digest digest{};
            context.final(digest);
        });
        if (!all_held)
            return 1;
        std::printf("%12zu %14.3f %14.3f %14.3f\n", size, verify, sign, sha1);
    }
    return 0;
}
