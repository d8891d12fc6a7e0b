// The patch maker on a generated game tree of several thousand files (text, raw and packed
// images, audio, binaries; about 220 MiB), run as the publisher runs it: the program itself
// with -patchmaker. Printed next to the 7zz tool packing the same files of at least
// `minsize` bytes, each file its own LZMA2 stream with the same settings on two threads.
//   qz4_bench_patchmaker [files] [--keep DIR]   (--keep leaves the trees in DIR for a closer look)
#include "bench/bench_support.hpp"
#include "common/encoding.hpp"
#include "update/json_document.hpp"
#include "update/manifests.hpp"

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
    if (!write_json_pretty(bench::wide_path(directory / "config.json"), configuration))
        throw std::runtime_error("cannot write config.json");
}

void print_run(const char* name, const bench::process_figures& figures) {
    std::printf("  %-34s %8.2f s wall  %8.2f s cpu   peak %7.1f MiB   exit %d\n", name, figures.wall_seconds,
                figures.cpu_seconds, figures.peak_mib, figures.exit_code);
}

} // namespace

int main(int argc, char** argv) {
    std::size_t count = 4010;
    fs::path kept;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--keep" && i + 1 < argc)
            kept = argv[++i];
        else
            count = std::strtoul(argv[i], nullptr, 10);
    }
    bench::scratch_dir scratch;
    const fs::path base = kept.empty() ? scratch.path() : kept;
    const fs::path publisher = base / "publisher";
    const fs::path input = publisher / "input";
    const corpus made = generate(input, count);
    write_configuration(publisher);
    const fs::path program = publisher / "qz4launcher";
    fs::copy_file(QZ4_LAUNCHER_PATH, program);

    // 7zz on the files the patch maker would pack, each its own stream.
    const fs::path list = base / "packable.txt";
    {
        std::ofstream out(list);
        for (const auto& relative : made.packable)
            out << relative.string() << "\n";
    }
    const auto sevenzip = bench::run_measured({"7zz", "a", "-t7z", "-ms=off", "-mmt=2", "-mx=5",
                                               "-m0=LZMA2:d=16m:lc=3:lp=0:pb=2:fb=32:mf=bt4:mc=32",
                                               (base / "reference.7z").string(), "@" + list.string()},
                                              input);
    const auto first = bench::run_measured({program.string(), "-patchmaker"}, publisher);
    const auto unchanged = bench::run_measured({program.string(), "-patchmaker"}, publisher);
    const fs::path touched = input / made.packable.front();
    fs::last_write_time(touched, fs::last_write_time(touched) + std::chrono::seconds(5));
    const auto one_touched = bench::run_measured({program.string(), "-patchmaker"}, publisher);

    std::printf("Corpus: %zu files, %.1f MiB (%zu of them at least %u bytes)\n", made.files,
                static_cast<double>(made.bytes) / (1 << 20), made.packable.size(), minsize);
    print_run("7zz, each file its own stream", sevenzip);
    print_run("patch maker, first run", first);
    print_run("patch maker, no change", unchanged);
    print_run("patch maker, one touched file", one_touched);
    std::printf("  first run / 7zz                    %8.3f  (goal: <= 1.0)\n",
                first.wall_seconds / sevenzip.wall_seconds);
    std::printf("  first run / no-change run          %8.1f  (goal: >= 50)\n",
                first.wall_seconds / unchanged.wall_seconds);
    return first.exit_code == 1 && unchanged.exit_code == 1 && one_touched.exit_code == 1 ? 0 : 1;
}
