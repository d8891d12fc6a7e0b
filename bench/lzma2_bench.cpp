// Packs and unpacks a reproducible mixed corpus (text, binary, already-compressed data) with
// our codec and with the xz command at the same settings, and prints sizes, throughputs and
// their ratios; the 7zz command's figures at the same settings are printed for reference.
//   qz4_bench_lzma2 [--dir DIR] [--mib N] [--repeat N] [--no-7zz]
#include "common/lzma2_codec.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const xz_pack_settings =
    "--lzma2=preset=5,dict=16MiB,lc=3,lp=0,pb=2,nice=32,mode=normal,mf=bt4,depth=32";
const char* const xz_unpack_settings = "--lzma2=dict=16MiB,lc=3,lp=0,pb=2";
// The same coder settings in 7-Zip's words; -mmt=2 is the two-thread match finder.
const char* const sevenzip_settings = "-m0=LZMA2:d=16m:lc=3:lp=0:pb=2:fb=32:mf=bt4:mc=32 -mx=5 -mmt=2 -ms=on";

std::wstring wide(const fs::path& path) {
    return path.wstring();
}

// Pseudo-English: a generated vocabulary picked with a skewed (Zipf-like) distribution.
std::string make_text(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    const char letters[] =
        "eeeeeeeeeeeettttttttaaaaaaaaooooooiiiiiinnnnnnsssssshhhhhrrrrrdddllluuccmmwwffggyyppbbvkjxqz";
    std::vector<std::string> words(8000);
    for (auto& word : words) {
        const std::size_t length = 2 + random() % 9;
        for (std::size_t i = 0; i < length; ++i)
            word += letters[random() % (sizeof letters - 1)];
    }
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::string text;
    text.reserve(size + 128);
    std::size_t line = 0;
    while (text.size() < size) {
        const std::size_t sentence = 4 + random() % 16;
        for (std::size_t w = 0; w < sentence; ++w) {
            const double u = unit(random);
            std::string word = words[static_cast<std::size_t>(u * u * u * static_cast<double>(words.size()))];
            if (w == 0)
                word[0] = static_cast<char>(word[0] - 'a' + 'A');
            if (line + word.size() > 72) {
                text += '\n';
                line = 0;
            } else if (w != 0) {
                text += ' ';
                ++line;
            }
            text += word;
            line += word.size();
        }
        text += random() % 5 == 0 ? ", " : ". ";
        line += 2;
    }
    text.resize(size);
    return text;
}

// Binary data of the kinds games ship: tables of slowly changing integers, sampled curves,
// code-like byte patterns with immediates, and zero padding.
std::string make_binary(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<std::string> instructions(300);
    for (auto& op : instructions) {
        op.resize(1 + random() % 7);
        for (auto& c : op)
            c = static_cast<char>(random());
    }
    std::string data;
    data.reserve(size + 65536);
    const auto put32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            data += static_cast<char>(v >> (8 * i));
    };
    while (data.size() < size) {
        switch (random() % 4) {
        case 0: {
            std::uint32_t value = random();
            for (int i = 0; i < 8192; ++i)
                put32(value += random() % 64);
            break;
        }
        case 1: {
            const double step = 0.001 * (1 + random() % 50);
            for (int i = 0; i < 8192; ++i) {
                float sample = static_cast<float>(std::sin(i * step) * 1000.0 + (random() % 100) * 0.01);
                std::uint32_t bits;
                std::memcpy(&bits, &sample, 4);
                put32(bits);
            }
            break;
        }
        case 2:
            for (int i = 0; i < 12000; ++i) {
                data += instructions[std::min(random() % 300, random() % 300)];
                if (random() % 4 == 0)
                    put32(random() % 65536);
            }
            break;
        default:
            data.append(1024 * (1 + random() % 16), '\0');
            break;
        }
    }
    data.resize(size);
    return data;
}

// Stands for already-compressed data (images, sound, archives): no redundancy at all.
std::string make_random(std::size_t size, std::uint32_t seed) {
    std::mt19937_64 random(seed);
    std::string data(size, '\0');
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        const std::uint64_t v = random();
        std::memcpy(&data[i], &v, 8);
    }
    return data;
}

void write_bytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.string().c_str());
        std::exit(2);
    }
}

bool same_content(const fs::path& a, const fs::path& b, std::uintmax_t skip_a = 0) {
    std::ifstream fa(a, std::ios::binary);
    std::ifstream fb(b, std::ios::binary);
    fa.seekg(static_cast<std::streamoff>(skip_a));
    std::vector<char> ba(1 << 20), bb(1 << 20);
    for (;;) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount() || !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
            return false;
        if (fa.gcount() == 0)
            return true;
    }
}

// Wall-clock seconds of one run; a failed run ends the benchmark.
double seconds_of(const std::function<bool()>& run) {
    const auto start = std::chrono::steady_clock::now();
    if (!run()) {
        std::fprintf(stderr, "a run failed\n");
        std::exit(1);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

std::string quoted(const fs::path& path) {
    std::string text = path.string();
    text.insert(text.begin(), '\'');
    text.push_back('\'');
    return text;
}

struct figures {
    std::uintmax_t packed = 0;
    double pack_seconds = 0; // best run
    double unpack_seconds = 0;
    double pack_worst = 0; // slowest run: the gap to the best one shows the machine's noise
    double unpack_worst = 0;
};

void add_run(double seconds, double& best, double& worst, bool first) {
    best = first ? seconds : std::min(best, seconds);
    worst = first ? seconds : std::max(worst, seconds);
}

void print_row(const char* kind, const char* tool, std::uintmax_t original, const figures& f) {
    const double mib = static_cast<double>(original) / (1 << 20);
    std::printf("%-10s %-10s %12ju %12ju %7.2f%% %9.2f %9.2f\n", kind, tool, original, f.packed,
                100.0 * static_cast<double>(f.packed) / static_cast<double>(original), mib / f.pack_seconds,
                mib / f.unpack_seconds);
    std::fflush(stdout); // rows appear as they are measured; a full run takes a while
}

} // namespace

int main(int argc, char** argv) {
    fs::path dir = fs::temp_directory_path() / "qz4-lzma2-bench";
    std::size_t total_mib = 210;
    int repeat = 2;
    bool with_7zz = fs::exists("/usr/bin/7zz");
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--dir" && i + 1 < argc)
            dir = argv[++i];
        else if (arg == "--mib" && i + 1 < argc)
            total_mib = static_cast<std::size_t>(std::stoul(argv[++i]));
        else if (arg == "--repeat" && i + 1 < argc)
            repeat = std::max(1, std::stoi(argv[++i]));
        else if (arg == "--no-7zz")
            with_7zz = false;
        else {
            std::fprintf(stderr, "usage: %s [--dir DIR] [--mib N] [--repeat N] [--no-7zz]\n", argv[0]);
            return 2;
        }
    }
    fs::create_directories(dir);

    struct kind {
        const char* name;
        std::size_t share; // of 21 parts
        std::function<std::string(std::size_t)> make;
    };
    const kind kinds[] = {
        {"text", 9, [](std::size_t n) { return make_text(n, 1); }},
        {"binary", 8, [](std::size_t n) { return make_binary(n, 2); }},
        {"packed", 4, [](std::size_t n) { return make_random(n, 3); }},
    };

    std::printf("corpus: %zu MiB in %s; best of %d runs; MiB/s of unpacked data\n", total_mib,
                dir.string().c_str(), repeat);
    std::printf("%-10s %-10s %12s %12s %8s %9s %9s\n", "kind", "tool", "bytes", "packed", "ratio", "pack/s",
                "unpack/s");
    std::uintmax_t total_original = 0;
    figures total_ours, total_xz, total_7zz;
    for (const auto& k : kinds) {
        const fs::path original = dir / (std::string(k.name) + ".dat");
        write_bytes(original, k.make(total_mib * (1 << 20) / 21 * k.share));
        const std::uintmax_t size = fs::file_size(original);
        total_original += size;

        const fs::path ours_packed = dir / "ours.lzma2";
        const fs::path ours_unpacked = dir / "ours.out";
        const fs::path xz_packed = dir / "xz.raw";
        const fs::path xz_unpacked = dir / "xz.out";
        figures ours, xz, sevenzip;
        const auto ours_pack = [&] {
            return qz4::lzma2_file_codec(false, wide(original), wide(ours_packed)) == 0;
        };
        const auto xz_pack = [&] {
            return shell(std::string("xz --format=raw -T1 ") + xz_pack_settings + " -c " + quoted(original) +
                         " > " + quoted(xz_packed));
        };
        const auto ours_unpack = [&] {
            return qz4::lzma2_file_codec(true, wide(ours_packed), wide(ours_unpacked)) == 0;
        };
        const auto xz_unpack = [&] {
            return shell(std::string("xz --format=raw -T1 ") + xz_unpack_settings + " -d -c " +
                         quoted(xz_packed) + " > " + quoted(xz_unpacked));
        };
        // Interleaved, the first side alternating, so that a slow spell of the machine hits
        // both sides alike.
        const auto measure = [&](int rounds, const std::function<bool()>& mine,
                                 const std::function<bool()>& theirs, double figures::*best,
                                 double figures::*worst) {
            for (int round = 0; round < rounds; ++round) {
                double o = 0;
                double x = 0;
                if (round % 2 == 0) {
                    o = seconds_of(mine);
                    x = seconds_of(theirs);
                } else {
                    x = seconds_of(theirs);
                    o = seconds_of(mine);
                }
                add_run(o, ours.*best, ours.*worst, round == 0);
                add_run(x, xz.*best, xz.*worst, round == 0);
            }
        };
        measure(repeat, ours_pack, xz_pack, &figures::pack_seconds, &figures::pack_worst);
        measure(repeat + 1, ours_unpack, xz_unpack, &figures::unpack_seconds, &figures::unpack_worst);
        ours.packed = fs::file_size(ours_packed);
        xz.packed = fs::file_size(xz_packed);
        if (!same_content(original, ours_unpacked) || !same_content(original, xz_unpacked)) {
            std::fprintf(stderr, "%s: a round trip lost data\n", k.name);
            return 1;
        }
        const bool same_stream = same_content(ours_packed, xz_packed, qz4::packed_header_size);
        print_row(k.name, "ours", size, ours);
        print_row(k.name, "xz", size, xz);
        if (with_7zz) {
            const fs::path archive = dir / "7zz.7z";
            const fs::path out_dir = dir / "7zz.out";
            fs::remove(archive);
            sevenzip.pack_seconds = seconds_of([&] {
                return shell("7zz a -bd -bb0 " + std::string(sevenzip_settings) + " " + quoted(archive) +
                             " " + quoted(original) + " > /dev/null");
            });
            sevenzip.unpack_seconds = seconds_of([&] {
                return shell("7zz x -bd -bb0 -y -o" + quoted(out_dir) + " " + quoted(archive) +
                             " > /dev/null");
            });
            sevenzip.packed = fs::file_size(archive);
            print_row(k.name, "7zz mt2", size, sevenzip);
            fs::remove_all(out_dir);
            fs::remove(archive);
            total_7zz.packed += sevenzip.packed;
            total_7zz.pack_seconds += sevenzip.pack_seconds;
            total_7zz.unpack_seconds += sevenzip.unpack_seconds;
        }
        std::printf("%-10s stream identical to xz's: %s; slowest/best run, pack: ours %.3f xz %.3f, "
                    "unpack: ours %.3f xz %.3f\n",
                    k.name, same_stream ? "yes" : "NO", ours.pack_worst / ours.pack_seconds,
                    xz.pack_worst / xz.pack_seconds, ours.unpack_worst / ours.unpack_seconds,
                    xz.unpack_worst / xz.unpack_seconds);
        for (auto* sum : {&total_ours, &total_xz}) {
            const figures& f = sum == &total_ours ? ours : xz;
            sum->packed += f.packed;
            sum->pack_seconds += f.pack_seconds;
            sum->unpack_seconds += f.unpack_seconds;
        }
        for (const auto& p : {original, ours_packed, ours_unpacked, xz_packed, xz_unpacked})
            fs::remove(p);
    }
    print_row("total", "ours", total_original, total_ours);
    print_row("total", "xz", total_original, total_xz);
    if (with_7zz)
        print_row("total", "7zz mt2", total_original, total_7zz);

    // Our packed size carries the 13-byte header; xz's raw stream has none.
    const double size_ratio = static_cast<double>(total_ours.packed) / static_cast<double>(total_xz.packed);
    const double pack_ratio = total_ours.pack_seconds / total_xz.pack_seconds;
    const double unpack_ratio = total_ours.unpack_seconds / total_xz.unpack_seconds;
    std::printf("ours/xz packed size %.5f (goal 0.999..1.001): %s\n", size_ratio,
                size_ratio >= 0.999 && size_ratio <= 1.001 ? "met" : "MISSED");
    std::printf("ours/xz pack time   %.3f (goal <= 1.05): %s\n", pack_ratio,
                pack_ratio <= 1.05 ? "met" : "MISSED");
    std::printf("ours/xz unpack time %.3f (goal <= 1.05): %s\n", unpack_ratio,
                unpack_ratio <= 1.05 ? "met" : "MISSED");
    return 0;
}
