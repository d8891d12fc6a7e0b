// The launcher installing a real game tree from nginx on loopback, measured against what it
// is made of: (a) the curl tool fetching the same server files one after another over one
// connection, and (b) our codec decoding the packed ones alone. The three stages overlap
// when the install takes little more than the slower of the two. Then the up-to-date rerun
// against sha1sum over the installed tree (soft-checked, and hard-checked), the soft rerun
// without the disk-space check, with its scan of every size, and as it is; and the
// launcher's peak memory, also with a 1 GiB file in the tree.
//   qz4_bench_install <tree> [--big] [--keep DIR]
// The tree is any directory (scripts/bench-install.sh takes a Debian game data package);
// it is published as the client/ folder of a game.
#include "bench/bench_support.hpp"
#include "common/lzma2_codec.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace qz4;

constexpr char product_guid[] = "7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97";

struct published {
    std::vector<std::string> remote_paths; // every server copy, below the base URL
    std::vector<std::string> packed;       // the packed ones among them
    std::uint32_t update = 0;
    std::uint64_t bytes = 0; // client bytes
};

void fail(const std::string& what) {
    throw std::runtime_error(what);
}

void print_run(const char* name, const bench::process_figures& figures) {
    std::printf("  %-44s %8.2f s wall %8.2f s cpu  peak %7.1f MiB\n", name, figures.wall_seconds,
                figures.cpu_seconds, figures.peak_mib);
}

std::size_t deepest_level(const fs::path& tree) {
    std::size_t deepest = 1;
    for (auto it = fs::recursive_directory_iterator(tree); it != fs::recursive_directory_iterator(); ++it)
        deepest = std::max<std::size_t>(deepest, static_cast<std::size_t>(it.depth()) + 1);
    return deepest;
}

// "client\*", "client\*\*", ... down to the deepest level of the tree.
nlohmann::json patterns_for(std::size_t levels) {
    nlohmann::json patterns = nlohmann::json::array();
    std::string pattern = "client";
    for (std::size_t level = 0; level < levels; ++level) {
        pattern += "\\*";
        patterns.push_back(pattern);
    }
    return patterns;
}

void configure(const fs::path& publisher, const std::string& base, const nlohmann::json& soft) {
    nlohmann::json config = publisher_config_template(product_guid);
    if (fs::exists(publisher / "config.json"))
        config = parse_json_file(bench::wide_path(publisher / "config.json"));
    config["client"]["guid"] = product_guid;
    config["client"]["hosts"] = nlohmann::json::array({base});
    config["client"]["check"]["hard_check"] = nlohmann::json::array();
    config["client"]["check"]["soft_check"] = soft;
    if (!write_json_pretty(bench::wide_path(publisher / "config.json"), config))
        fail("cannot write the publisher's config.json");
}

published publish(const fs::path& publisher, const fs::path& www) {
    const auto run = bench::run_measured({(publisher / "qz4launcher").string(), "-patchmaker"}, publisher);
    print_run("patch maker", run);
    if (run.exit_code != 1)
        fail("the patch maker did not go through");
    published result;
    result.update =
        read_update_number(parse_json_file(bench::wide_path(publisher / "output" / "version.json")));
    const auto index = parse_json_file(
        bench::wide_path(publisher / "output" / std::to_string(result.update) / "index.json"));
    for (const auto& entry : index["files"]) {
        const file_record record = read_file_record(entry);
        result.remote_paths.push_back(record.r);
        if (record.r_pack == pack_format_lzma2)
            result.packed.push_back(record.r);
        result.bytes += record.l_size;
    }
    fs::remove_all(www / "qz4");
    fs::copy(publisher / "output", www / "qz4", fs::copy_options::recursive);
    return result;
}

// Writes back what earlier steps left dirty, so that no step pays for another's files.
void settle() {
    ::sync();
}

// (a) curl over one connection: one invocation, every URL from a list; the bytes dropped
// (the network alone) or each written to a file, as an install must write it.
bench::process_figures fetch_with_curl(const published& tree, const std::string& base, const fs::path& work,
                                       bool to_files) {
    const fs::path list = work / "curl-list.txt";
    {
        std::ofstream out(list);
        for (std::size_t i = 0; i < tree.remote_paths.size(); ++i) {
            out << "url = \"" << base << tree.remote_paths[i] << "\"\n";
            if (to_files)
                out << "output = \"" << (work / "curl").string() << "/" << i % 100 << "/" << i << "\"\n";
            else
                out << "output = \"/dev/null\"\n";
        }
    }
    settle();
    auto figures =
        bench::run_measured({"curl", "--fail", "--silent", "--create-dirs", "--config", list.string()}, work);
    fs::remove_all(work / "curl");
    return figures;
}

// (b) our codec alone, on the packed copies.
double decode_alone(const published& tree, const fs::path& www, const fs::path& work) {
    const fs::path out = work / "decoded";
    settle();
    const auto start = std::chrono::steady_clock::now();
    for (const auto& path : tree.packed) {
        std::string file = path;
        for (std::size_t at; (at = file.find("%20")) != std::string::npos;)
            file.replace(at, 3, " ");
        if (lzma2_file_codec(true, bench::wide_path(www / "qz4" / fs::u8path(file)), bench::wide_path(out)) !=
            lzma2_result::ok)
            fail("cannot decode " + path);
    }
    fs::remove(out);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// `environment` ("NAME=value", LD_PRELOAD with a library of stubs among them) changes what
// the launcher gets from the system.
bench::process_figures run_launcher(const fs::path& game, const std::vector<std::string>& environment = {}) {
    settle();
    std::vector<std::string> command = {(game / "qz4launcher").string()};
    if (!environment.empty()) {
        command.insert(command.begin(), environment.begin(), environment.end());
        command.insert(command.begin(), "env");
    }
    const auto run = bench::run_measured(command, game);
    if (run.exit_code != 0)
        fail("the launcher ended with " + std::to_string(run.exit_code));
    return run;
}

// Back to an empty game directory with only the launcher in it.
void clear_game(const fs::path& game) {
    for (const auto& entry : fs::directory_iterator(game))
        if (entry.path().filename() != "qz4launcher")
            fs::remove_all(entry.path());
}

// The install again, alternately with its flushes and with them stubbed out; the fastest of
// each kind, so that one noisy run on a loaded machine does not decide.
void measure_durability(const fs::path& game, double first_install) {
    double flushed = first_install;
    double stubbed = 1e9;
    for (int round = 0; round < 2; ++round) {
        clear_game(game);
        stubbed = std::min(
            stubbed, run_launcher(game, {std::string("LD_PRELOAD=") + QZ4_NO_FLUSH_PRELOAD}).wall_seconds);
        clear_game(game);
        flushed = std::min(flushed, run_launcher(game).wall_seconds);
    }
    std::printf("Durability (the install's flushes before it records files)\n");
    std::printf("  fastest install with flushes %.2f s, with flushes stubbed out %.2f s: cost %+.1f %% "
                "(goal < 10 %%)\n",
                flushed, stubbed, 100.0 * (flushed - stubbed) / stubbed);
}

struct space_check_figures {
    double unchecked = 1e9; // fastest soft rerun with the free space hidden: no check
    double scanned = 1e9;   // with 1 MiB free: every installed file's size asked for
    double bounded = 1e9;   // as it is, the disk having room for the whole game
};

// The soft-checked rerun again, in turns without the disk-space check, with its size scan,
// and as it is; the fastest of each.
space_check_figures measure_space_check(const fs::path& game) {
    const std::string preload = std::string("LD_PRELOAD=") + QZ4_FREE_SPACE_PRELOAD;
    space_check_figures figures;
    for (int round = 0; round < 7; ++round) {
        figures.unchecked = std::min(figures.unchecked, run_launcher(game, {preload}).wall_seconds);
        figures.scanned = std::min(
            figures.scanned, run_launcher(game, {preload, "QZ4_BENCH_FREE_SPACE=1048576"}).wall_seconds);
        figures.bounded = std::min(figures.bounded, run_launcher(game).wall_seconds);
    }
    return figures;
}

// The same update, served with every file hard-checked: the launcher then hashes them all.
void serve_hard_checked(const fs::path& www, std::uint32_t update, const nlohmann::json& patterns) {
    const fs::path directory = www / "qz4" / std::to_string(update);
    auto index = parse_json_file(bench::wide_path(directory / "index.json"));
    index["config"]["check"]["hard_check"] = patterns;
    index["config"]["check"]["soft_check"] = nlohmann::json::array();
    if (!write_json_compact(bench::wide_path(directory / "index.json"), index))
        fail("cannot rewrite the index");
    fs::remove(directory / "index.json.lzma2"); // the launcher takes the plain one
}

} // namespace

int main(int argc, char** argv) {
    fs::path tree;
    fs::path kept;
    bool big = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--keep" && i + 1 < argc)
            kept = argv[++i];
        else if (argument == "--big")
            big = true;
        else
            tree = argument;
    }
    if (tree.empty() || !fs::is_directory(tree)) {
        std::fprintf(stderr, "usage: qz4_bench_install <tree> [--big] [--keep DIR]\n");
        return 2;
    }
    try {
        bench::scratch_dir scratch;
        const fs::path work = kept.empty() ? scratch.path() : kept;
        const fs::path publisher = work / "publisher";
        const fs::path game = work / "game";
        const fs::path state = work / "nginx";
        fs::create_directories(publisher / "input");
        fs::create_directories(game);
        fs::copy(tree, publisher / "input" / "client", fs::copy_options::recursive);
        fs::copy_file(QZ4_E2E_LAUNCHER_PATH, publisher / "qz4launcher");
        fs::copy_file(QZ4_E2E_LAUNCHER_PATH, game / "qz4launcher");
        // The key the launcher is built with: the patch maker signs with it, as a publisher's does.
        std::ofstream(publisher / "signing.key") << QZ4_E2E_SIGNING_KEY "\n";
        const std::string base = "http://127.0.0.1:" + std::to_string(QZ4_E2E_PORT) + "/qz4/";
        const nlohmann::json patterns = patterns_for(deepest_level(tree));

        bench::nginx_process nginx(QZ4_PYTHON, QZ4_NGINX_FIXTURE, state, QZ4_E2E_PORT);
        configure(publisher, base, patterns);
        std::printf("Publishing %s\n", tree.string().c_str());
        const published served = publish(publisher, state / "www");
        std::printf("  %zu files, %.1f MiB, %zu packed\n", served.remote_paths.size(),
                    static_cast<double>(served.bytes) / (1 << 20), served.packed.size());

        std::printf("Full install into an empty directory\n");
        const auto curl = fetch_with_curl(served, base, work, false);
        const auto curl_files = fetch_with_curl(served, base, work, true);
        if (curl.exit_code != 0 || curl_files.exit_code != 0)
            fail("curl could not fetch every file");
        const double decode = decode_alone(served, state / "www", work);
        const auto install = run_launcher(game);
        print_run("(a) curl, one connection, bytes dropped", curl);
        print_run("    curl, one connection, each to a file", curl_files);
        std::printf("  %-44s %8.2f s wall\n", "(b) our codec on the packed files alone", decode);
        print_run("launcher install", install);
        const double slower = std::max(curl.wall_seconds, decode);
        std::printf("  install / max(a, b) %8.3f (goal <= 1.1); install / (a + b) %8.3f; "
                    "install / curl to files %8.3f\n",
                    install.wall_seconds / slower, install.wall_seconds / (curl.wall_seconds + decode),
                    install.wall_seconds / curl_files.wall_seconds);

        std::printf("Up-to-date rerun\n");
        settle();
        const auto sha1sum = bench::run_measured(
            {"sh", "-c", "find client -type f -print0 | xargs -0 sha1sum >/dev/null"}, game);
        const auto soft = run_launcher(game);
        const space_check_figures space_check = measure_space_check(game);
        serve_hard_checked(state / "www", served.update, patterns);
        (void)run_launcher(game); // takes the new rules in
        const auto hard = run_launcher(game);
        print_run("sha1sum over the installed tree", sha1sum);
        print_run("launcher, soft-checked, same update", soft);
        print_run("launcher, hard-checked", hard);
        std::printf("  sha1sum / soft rerun %8.1f (goal >= 50); sha1sum / hard rerun %8.2f\n",
                    sha1sum.wall_seconds / soft.wall_seconds, sha1sum.wall_seconds / hard.wall_seconds);
        const auto cost = [&](double with) {
            return 100.0 * (with - space_check.unchecked) / space_check.unchecked;
        };
        std::printf("  disk-space check, fastest soft rerun: %.3f s without it, %.3f s scanning every size "
                    "(cost %+.1f %%), %.3f s with room for the whole game (cost %+.1f %%, goal < 5 %%)\n",
                    space_check.unchecked, space_check.scanned, cost(space_check.scanned),
                    space_check.bounded, cost(space_check.bounded));

        std::printf("Peak memory of the launcher: %.1f MiB during the install (goal <= 64)\n",
                    install.peak_mib);
        measure_durability(game, install.wall_seconds);
        if (big) {
            std::printf("With a 1 GiB file added to the tree\n");
            bench::write_random_file(publisher / "input" / "client" / "big.bin", 1ULL << 30, 7);
            configure(publisher, base, patterns);
            (void)publish(publisher, state / "www");
            const auto with_big = run_launcher(game);
            print_run("launcher, fetching the 1 GiB file", with_big);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "qz4_bench_install: %s\n", error.what());
        return 1;
    }
    return 0;
}
