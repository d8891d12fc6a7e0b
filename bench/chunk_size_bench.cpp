// Which average chunk size to cut large archives with: for each candidate, the chunks of the
// new archive that the old one lacks (what a launcher holding the old archive fetches), raw
// and packed one by one with our LZMA2 codec and with zstd -3, against the floor (the
// replaced members alone, packed one by one) and against zstd's pairwise patch of the two
// archives; and the chunker's throughput against plain reading of the same file.
//   qz4_bench_chunks <old.tar> <new.tar> <floor-dir> [--no-patch]
// scripts/bench-chunks.sh makes the archives and the floor from a game's data.
#include "bench/bench_support.hpp"
#include "common/content_chunker.hpp"
#include "common/file_handle.hpp"
#include "common/lzma2_codec.hpp"
#include "common/sha256.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using namespace qz4;

constexpr int rounds = 3;
constexpr std::size_t averages[] = {256 << 10, 512 << 10, 1 << 20, 2 << 20, 4 << 20};

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "qz4_bench_chunks: %s\n", message.c_str());
    std::exit(1);
}

class file_source final : public chunk_source {
public:
    explicit file_source(const fs::path& path) : file_(file_handle::open_read(bench::wide_path(path))) {
        if (!file_.is_open())
            fail("cannot open " + path.string());
    }
    std::optional<std::size_t> read(std::span<std::uint8_t> into) override {
        return file_.read_some(into.data(), into.size());
    }

private:
    file_handle file_;
};

// Calls `take` with each chunk of the file and its bytes.
template <typename Take> void cut_file(const content_chunker& chunker, const fs::path& path, Take&& take) {
    file_source source(path);
    chunk_reader reader(chunker, source);
    chunk_reader::step step{};
    while ((step = reader.next()) == chunk_reader::step::chunk)
        take(reader.current(), reader.current_bytes());
    if (step == chunk_reader::step::read_failed)
        fail("cannot read " + path.string());
}

void read_plainly(const fs::path& path) {
    file_handle file = file_handle::open_read(bench::wide_path(path));
    std::vector<std::uint8_t> block(1 << 20);
    while (true) {
        const auto got = file.read_some(block.data(), block.size());
        if (!got)
            fail("cannot read " + path.string());
        if (*got == 0)
            return;
    }
}

sha256_digest digest_of(std::span<const std::uint8_t> bytes, sha256_context& context) {
    context.update(bytes.data(), bytes.size());
    sha256_digest digest{};
    context.finish(digest);
    return digest;
}

void write_bytes(const fs::path& path, std::span<const std::uint8_t> bytes) {
    file_handle file = file_handle::create_write(bench::wide_path(path));
    std::size_t at = 0;
    while (at < bytes.size()) {
        const auto wrote = file.write_some(bytes.data() + at, bytes.size() - at);
        if (!wrote || *wrote == 0)
            fail("cannot write " + path.string());
        at += *wrote;
    }
}

std::vector<fs::path> files_below(const fs::path& directory, const std::string& extension = {}) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(directory))
        if (entry.is_regular_file() && (extension.empty() || entry.path().extension() == extension))
            files.push_back(entry.path());
    return files;
}

std::uint64_t total_size(const std::vector<fs::path>& files) {
    std::uint64_t total = 0;
    for (const auto& file : files)
        total += fs::file_size(file);
    return total;
}

// Each file packed on its own, as the patch maker packs a file: the sum of the packed sizes.
std::uint64_t lzma2_packed(lzma2_encoder& encoder, const std::vector<fs::path>& files,
                           const fs::path& scratch) {
    std::uint64_t total = 0;
    const fs::path packed = scratch / "packed.lzma2";
    for (const auto& file : files) {
        if (encoder.pack(bench::wide_path(file), bench::wide_path(packed)) != lzma2_result::ok)
            fail("cannot pack " + file.string());
        total += fs::file_size(packed);
    }
    fs::remove(packed);
    return total;
}

bool zstd_installed() {
    return bench::run_measured({"zstd", "--version"}, fs::current_path()).exit_code == 0;
}

// Every file of the directory packed on its own by the zstd tool at level 3 (one process for
// all of them): the sum of the packed sizes.
std::uint64_t zstd_packed(const fs::path& directory) {
    const fs::path packed = directory.string() + ".zst.d";
    fs::remove_all(packed);
    const auto run = bench::run_measured(
        {"zstd", "-3", "-q", "-r", "--output-dir-mirror", packed.string(), directory.string()},
        directory.parent_path());
    if (run.exit_code != 0)
        fail("zstd -3 failed on " + directory.string());
    const std::uint64_t total = total_size(files_below(packed, ".zst"));
    fs::remove_all(packed);
    return total;
}

struct average_figures {
    std::size_t average = 0;
    std::uint64_t new_chunks = 0; // all chunks of the new archive: its index
    std::uint64_t fetched = 0;    // of them, distinct and absent from the old archive
    std::uint64_t fetched_raw = 0;
    std::uint64_t fetched_lzma2 = 0;
    std::uint64_t fetched_zstd = 0; // 0 without the zstd tool
    double chunk_mib_s = 0;
    double read_mib_s = 0; // plain reading of the same file, in turns with the cutting
};

double mib_per_second(std::uint64_t bytes, double seconds) {
    return static_cast<double>(bytes) / (1 << 20) / seconds;
}

average_figures measure(std::size_t average, const fs::path& old_tar, const fs::path& new_tar,
                        const fs::path& scratch, lzma2_encoder& encoder, bool with_zstd) {
    const content_chunker chunker(chunk_limits::around(average));
    average_figures figures;
    figures.average = average;
    // Reading and cutting in turns, so that whatever else the machine does falls on both.
    std::vector<double> read_seconds;
    std::vector<double> cut_seconds;
    for (int round = 0; round < rounds; ++round) {
        read_seconds.push_back(bench::time_runs(1, [&] { read_plainly(old_tar); }).front());
        cut_seconds.push_back(bench::time_runs(1, [&] {
                                  cut_file(chunker, old_tar,
                                           [](const chunk_span&, std::span<const std::uint8_t>) {});
                              }).front());
    }
    figures.read_mib_s = mib_per_second(fs::file_size(old_tar), bench::median(read_seconds));
    figures.chunk_mib_s = mib_per_second(fs::file_size(old_tar), bench::median(cut_seconds));

    sha256_context context;
    std::set<sha256_digest> held;
    cut_file(chunker, old_tar, [&](const chunk_span&, std::span<const std::uint8_t> bytes) {
        held.insert(digest_of(bytes, context));
    });
    const fs::path fetched_dir = scratch / ("fetched-" + std::to_string(average >> 10) + "k");
    fs::create_directories(fetched_dir);
    std::vector<fs::path> fetched_files;
    cut_file(chunker, new_tar, [&](const chunk_span& chunk, std::span<const std::uint8_t> bytes) {
        ++figures.new_chunks;
        if (!held.insert(digest_of(bytes, context)).second)
            return;
        fetched_files.push_back(fetched_dir / std::to_string(chunk.offset));
        write_bytes(fetched_files.back(), bytes);
        ++figures.fetched;
        figures.fetched_raw += chunk.length;
    });
    figures.fetched_lzma2 = lzma2_packed(encoder, fetched_files, scratch);
    if (with_zstd)
        figures.fetched_zstd = zstd_packed(fetched_dir);
    fs::remove_all(fetched_dir);
    return figures;
}

// zstd's patch from the old archive to the new one, the best a pairwise delta does: its size.
std::uint64_t zstd_patch(const fs::path& old_tar, const fs::path& new_tar, const fs::path& scratch) {
    const fs::path patch = scratch / "new.tar.patch.zst";
    const auto run =
        bench::run_measured({"zstd", "-19", "--long=31", "-q", "-f", "--patch-from=" + old_tar.string(),
                             new_tar.string(), "-o", patch.string()},
                            scratch);
    if (run.exit_code != 0)
        fail("zstd --patch-from failed");
    std::printf("zstd -19 --long=31 --patch-from: %.1f s, %.0f MiB peak\n", run.wall_seconds, run.peak_mib);
    const std::uint64_t size = fs::file_size(patch);
    fs::remove(patch);
    return size;
}

double mib(std::uint64_t bytes) {
    return static_cast<double>(bytes) / (1 << 20);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: qz4_bench_chunks <old.tar> <new.tar> <floor-dir> [--no-patch]\n");
        return 2;
    }
    const fs::path old_tar = argv[1];
    const fs::path new_tar = argv[2];
    const fs::path floor_dir = argv[3];
    const bool with_patch = !(argc > 4 && std::string(argv[4]) == "--no-patch");
    const bench::scratch_dir scratch;
    const bool with_zstd = zstd_installed();
    lzma2_encoder encoder;

    read_plainly(old_tar); // into the page cache, so the timings read memory, not the disk

    const std::vector<fs::path> floor_files = files_below(floor_dir);
    const std::uint64_t floor_raw = total_size(floor_files);
    const std::uint64_t floor_lzma2 = lzma2_packed(encoder, floor_files, scratch.path());
    const std::uint64_t floor_zstd = with_zstd ? zstd_packed(floor_dir) : 0;
    const std::uint64_t patch = with_zstd && with_patch ? zstd_patch(old_tar, new_tar, scratch.path()) : 0;

    std::printf("old %s: %.1f MiB; new %s: %.1f MiB\n", old_tar.filename().c_str(),
                mib(fs::file_size(old_tar)), new_tar.filename().c_str(), mib(fs::file_size(new_tar)));
    std::printf("floor: %zu replaced members, %.2f MiB raw, %.2f MiB LZMA2", floor_files.size(),
                mib(floor_raw), mib(floor_lzma2));
    if (with_zstd)
        std::printf(", %.2f MiB zstd -3", mib(floor_zstd));
    std::printf("\n");
    if (patch != 0)
        std::printf("pairwise reference: zstd --patch-from patch %.2f MiB (%.2f x floor LZMA2)\n", mib(patch),
                    static_cast<double>(patch) / static_cast<double>(floor_lzma2));
    std::printf("\n");
    std::printf("%8s %7s %8s %9s %10s %9s %7s %7s %10s %10s %6s\n", "average", "chunks", "fetched", "raw MiB",
                "LZMA2 MiB", "zstd MiB", "/floor", "/patch", "cut MiB/s", "read MiB/s", "ratio");
    std::fflush(stdout);
    for (const std::size_t average : averages) {
        const average_figures f = measure(average, old_tar, new_tar, scratch.path(), encoder, with_zstd);
        const double over_floor = static_cast<double>(f.fetched_lzma2) / static_cast<double>(floor_lzma2);
        const double over_patch =
            patch ? static_cast<double>(f.fetched_lzma2) / static_cast<double>(patch) : 0;
        std::printf("%7zuK %7llu %8llu %9.2f %10.2f %9.2f %7.2f %7.2f %10.0f %10.0f %6.2f\n", average >> 10,
                    static_cast<unsigned long long>(f.new_chunks), static_cast<unsigned long long>(f.fetched),
                    mib(f.fetched_raw), mib(f.fetched_lzma2), mib(f.fetched_zstd), over_floor, over_patch,
                    f.chunk_mib_s, f.read_mib_s, f.chunk_mib_s / f.read_mib_s);
        std::fflush(stdout);
    }
    std::printf("\nchunks: the new archive's (its index); fetched: distinct chunks the old one lacks;\n"
                "/floor and /patch: fetched LZMA2 bytes over the floor's and over the zstd patch;\n"
                "ratio: cutting the old archive over plain reading of it (both from the page cache).\n");
    return 0;
}
