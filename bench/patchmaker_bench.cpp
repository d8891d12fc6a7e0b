// The patch maker on a client tree, run as the publisher runs it: the program itself with
// -patchmaker. Printed next to the 7zz tool packing the same files of at least `minsize`
// bytes, each file its own LZMA2 stream with the same settings on two threads. The tree is a
// generated one of several thousand files (text, raw and packed images, audio, binaries;
// about 220 MiB), or any tree given with --tree, for example a game's data package:
//   apt-get download wesnoth-1.16-data && dpkg-deb -x wesnoth-1.16-data_*.deb tree
//   qz4_bench_patchmaker [files | --tree DIR ...] [--keep DIR]
// Each --tree is measured on its own, so that one run prints the ratios of a large tree of
// small files and of a tree of mostly packed files (hedgewars-data) side by side; --keep
// leaves the trees in DIR for a closer look. Packing is not optimised away for any file
// (optimize off), so that both sides pack the same files and their sizes compare.
#include "bench/bench_support.hpp"
#include "common/encoding.hpp"
#include "patchmaker/patch_maker.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace qz4;

constexpr std::uint32_t minsize = 16384;

enum class kind { text, raw_image, packed_image, audio, binary };

const char* extension(kind k) {
    switch (k) {
    case kind::text:
        return ".txt";
    case kind::raw_image:
        return ".bmp";
    case kind::packed_image:
        return ".png";
    case kind::audio:
        return ".wav";
    case kind::binary:
        return ".dll";
    }
    return ".bin";
}

std::string make_content(kind k, std::size_t size, std::mt19937_64& random) {
    std::string bytes;
    bytes.reserve(size);
    switch (k) {
    case kind::text: {
        static const char* words[] = {"the",    "sword",    "of",     "ancient", "kingdom", "quest",
                                      "player", "health",   "mana",   "dragon",  "village", "forest",
                                      "enemy",  "level",    "gold",   "armour",  "shield",  "potion",
                                      "spell",  "north",    "river",  "castle",  "night",   "tarnwood",
                                      "guard",  "merchant", "reward", "damage"};
        while (bytes.size() < size) {
            const auto a = random() % 28, b = random() % 28;
            bytes += words[std::min(a, b)]; // skewed towards the first words, as real text is
            bytes += (random() % 11 == 0) ? "\r\n" : " ";
        }
        break;
    }
    case kind::raw_image:
        for (std::size_t i = 0; i < size; ++i)
            bytes.push_back(static_cast<char>((i / 3 % 256) + (random() % 7)));
        break;
    case kind::packed_image:
        while (bytes.size() < size) {
            const std::uint64_t word = random();
            bytes.append(reinterpret_cast<const char*>(&word), sizeof word);
        }
        break;
    case kind::audio:
        for (std::size_t i = 0; bytes.size() < size; ++i) {
            const double t = static_cast<double>(i) / 44100.0;
            const auto sample = static_cast<std::int16_t>(9000 * std::sin(2 * 3.14159 * 440 * t) +
                                                          4000 * std::sin(2 * 3.14159 * 660 * t) +
                                                          static_cast<double>(random() % 2000) - 1000);
            bytes.push_back(static_cast<char>(sample & 0xFF));
            bytes.push_back(static_cast<char>(sample >> 8));
        }
        break;
    case kind::binary: {
        static const unsigned char common[] = {0x00, 0xFF, 0x48, 0x8B, 0x89, 0xE8, 0x0F, 0x85, 0x24, 0xC3};
        while (bytes.size() < size) {
            const auto r = random();
            bytes.push_back(static_cast<char>((r & 3) != 0 ? common[(r >> 8) % 10]
                                                           : static_cast<unsigned char>(r >> 16)));
        }
        break;
    }
    }
    bytes.resize(size);
    return bytes;
}

struct corpus {
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    std::vector<fs::path> packable; // at least minsize bytes, relative to the input directory
};

// A tree of the caller's, copied so that touching a file leaves the original alone.
corpus copy_tree(const fs::path& tree, const fs::path& input) {
    fs::create_directories(input);
    fs::copy(tree, input, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    corpus made;
    for (const auto& entry : fs::recursive_directory_iterator(input)) {
        if (!entry.is_regular_file())
            continue;
        made.files += 1;
        made.bytes += entry.file_size();
        if (entry.file_size() >= minsize)
            made.packable.push_back(fs::relative(entry.path(), input));
    }
    return made;
}

corpus generate(const fs::path& input, std::size_t count) {
    std::mt19937_64 random(2026);
    corpus made;
    std::uniform_real_distribution<double> log_size(std::log(1024.0), std::log(256.0 * 1024));
    for (std::size_t i = 0; i < count; ++i) {
        const kind k = static_cast<kind>(random() % 5);
        // A few large files, as every game has, on top of many small ones.
        const std::size_t size =
            i % 400 == 0 ? (std::size_t{4} << 20) : static_cast<std::size_t>(std::exp(log_size(random)));
        const fs::path relative = fs::path("data") / ("group" + std::to_string(i % 40)) /
                                  ("asset" + std::to_string(i) + extension(k));
        fs::create_directories((input / relative).parent_path());
        const std::string content = make_content(k, size, random);
        std::ofstream(input / relative, std::ios::binary)
            .write(content.data(), static_cast<std::streamsize>(size));
        made.files += 1;
        made.bytes += size;
        if (size >= minsize)
            made.packable.push_back(relative);
    }
    return made;
}

void write_configuration(const fs::path& directory) {
    nlohmann::json configuration = publisher_config_template("7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97");
    configuration["maker"]["packer"]["minsize"] = minsize;
    configuration["maker"]["packer"]["optimize"] = false;
    if (!write_json_pretty(bench::wide_path(directory / "config.json"), configuration))
        throw std::runtime_error("cannot write config.json");
}

void print_run(const char* name, const bench::process_figures& figures) {
    std::printf("  %-30s %7.2f s wall %7.2f s user %6.2f s sys  peak %7.1f MiB  exit %d\n", name,
                figures.wall_seconds, figures.user_seconds, figures.system_seconds, figures.peak_mib,
                figures.exit_code);
}

// The packed streams 7zz wrote: one folder per file without solid blocks, each listed with
// its packed size.
std::uint64_t sevenzip_stream_bytes(const fs::path& archive) {
    const fs::path listing = archive.string() + ".txt";
    const std::string command = "7zz l -slt '" + archive.string() + "' > '" + listing.string() + "'";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("cannot list " + archive.string());
    std::ifstream in(listing);
    std::uint64_t total = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("Packed Size = "))
            total += std::stoull(line.substr(14));
    }
    return total;
}

// Our packed streams: every packed copy the index names, less its 13-byte header.
std::uint64_t our_stream_bytes(const fs::path& publisher) {
    std::ifstream version_in(publisher / "output" / "version.json");
    const nlohmann::json version = nlohmann::json::parse(version_in);
    std::ifstream index_in(publisher / "output" / std::to_string(version.at("gameupdate").get<unsigned>()) /
                           "index.json");
    const nlohmann::json index = nlohmann::json::parse(index_in);
    std::uint64_t total = 0;
    for (const auto& record : index.at("files")) {
        if (record.contains("r_pack"))
            total += record.at("r_size").get<std::uint64_t>() - 13;
    }
    return total;
}

// A publisher's directory sharing the prepared input: its own configuration and output.
fs::path fresh_publisher(const fs::path& base, const std::string& name, const fs::path& input) {
    const fs::path publisher = base / name;
    fs::create_directories(publisher);
    fs::create_directory_symlink(fs::absolute(input), publisher / "input");
    write_configuration(publisher);
    return publisher;
}

// The child of the memory runs: one run with a given number of workers, in this process.
int run_in_process(const fs::path& publisher, unsigned workers) {
    patch_maker_setup setup;
    setup.directory = bench::wide_path(publisher);
    setup.workers = workers;
    std::atomic<bool> terminate{false};
    return run_patch_maker(setup, terminate) ? 1 : 0;
}

// One tree through 7zz and the patch maker, its figures and ratios printed; true when every
// run of the patch maker completed.
bool measure_tree(const fs::path& base, const fs::path& tree, std::size_t count) {
    const fs::path input = base / "input";
    const corpus made = tree.empty() ? generate(input, count) : copy_tree(tree, input);

    // 7zz on the files the patch maker packs, each its own stream.
    const fs::path list = base / "packable.txt";
    {
        std::ofstream out(list);
        for (const auto& relative : made.packable)
            out << relative.string() << "\n";
    }
    const fs::path archive = base / "reference.7z";
    const auto sevenzip = bench::run_measured({"7zz", "a", "-t7z", "-ms=off", "-mmt=2", "-mx=5",
                                               "-m0=LZMA2:d=16m:lc=3:lp=0:pb=2:fb=32:mf=bt4:mc=32",
                                               archive.string(), "@" + list.string()},
                                              input);

    // Peak memory against the number of workers, each a first run of its own.
    const fs::path self = fs::canonical("/proc/self/exe");
    std::vector<std::pair<unsigned, bench::process_figures>> by_workers;
    for (const unsigned workers : {2u, 16u}) {
        const fs::path publisher = fresh_publisher(base, "workers" + std::to_string(workers), input);
        by_workers.emplace_back(
            workers,
            bench::run_measured({self.string(), "--run", publisher.string(), std::to_string(workers)}, base));
    }

    const fs::path publisher = fresh_publisher(base, "publisher", input);
    const fs::path program = publisher / "qz4launcher";
    fs::copy_file(QZ4_LAUNCHER_PATH, program);
    const auto first = bench::run_measured({program.string(), "-patchmaker"}, publisher);
    const auto unchanged = bench::run_measured({program.string(), "-patchmaker"}, publisher);
    // The first no-change run settles the cache; the second is the one every later run is.
    const auto settled = bench::run_measured({program.string(), "-patchmaker"}, publisher);
    const fs::path touched = input / made.packable.front();
    fs::last_write_time(touched, fs::last_write_time(touched) + std::chrono::seconds(5));
    const auto one_touched = bench::run_measured({program.string(), "-patchmaker"}, publisher);

    const double ours = static_cast<double>(our_stream_bytes(publisher));
    const double theirs = static_cast<double>(sevenzip_stream_bytes(archive));
    std::printf("Corpus %s: %zu files, %.1f MiB (%zu of them at least %u bytes)\n",
                tree.empty() ? "generated" : tree.filename().string().c_str(), made.files,
                static_cast<double>(made.bytes) / (1 << 20), made.packable.size(), minsize);
    print_run("7zz, each file its own stream", sevenzip);
    print_run("patch maker, first run", first);
    print_run("patch maker, no change", unchanged);
    print_run("patch maker, no change again", settled);
    print_run("patch maker, one touched file", one_touched);
    for (const auto& [workers, figures] : by_workers) {
        const std::string name = "first run, " + std::to_string(workers) + " workers";
        print_run(name.c_str(), figures);
    }
    std::printf("  first run / 7zz (wall)            %8.3f  (goal: <= 0.9)\n",
                first.wall_seconds / sevenzip.wall_seconds);
    std::printf("  first run system / user time      %8.3f\n", first.system_seconds / first.user_seconds);
    std::printf("  first run / no-change run (wall)  %8.1f  (goal: >= 50)\n",
                first.wall_seconds / std::max(unchanged.wall_seconds, settled.wall_seconds));
    std::printf(
        "  packed streams / 7zz's            %8.4f  (%.1f MiB against %.1f MiB; goal: within 0.5 %%)\n",
        ours / theirs, ours / (1 << 20), theirs / (1 << 20));
    bool ok = first.exit_code == 1 && unchanged.exit_code == 1 && settled.exit_code == 1 &&
              one_touched.exit_code == 1;
    for (const auto& [workers, figures] : by_workers)
        ok = ok && figures.exit_code == 1;
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--run")
        return run_in_process(argv[2], static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)));
    std::size_t count = 4010;
    fs::path kept;
    std::vector<fs::path> trees;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--keep" && i + 1 < argc)
            kept = argv[++i];
        else if (std::string(argv[i]) == "--tree" && i + 1 < argc)
            trees.emplace_back(argv[++i]);
        else
            count = std::strtoul(argv[i], nullptr, 10);
    }
    if (trees.empty())
        trees.emplace_back(); // the generated one
    bench::scratch_dir scratch;
    const fs::path base = kept.empty() ? scratch.path() : kept;
    bool ok = true;
    for (std::size_t i = 0; i < trees.size(); ++i)
        ok = measure_tree(base / ("tree" + std::to_string(i)), trees[i], count) && ok;
    return ok ? 0 : 1;
}
