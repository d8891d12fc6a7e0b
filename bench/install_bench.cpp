// The launcher installing a real game tree from nginx on loopback, measured against what it
// is made of: (a) the curl tool fetching the same server files one after another over one
// connection, and (b) our codec decoding the packed ones alone, shared over the cores as the
// unpack workers share it. The stages overlap when the install takes little more than the
// slower of the two. Then the up-to-date rerun
// against sha1sum over the installed tree (soft-checked, and hard-checked), the soft rerun
// without the disk-space check, with its scan of every size, and as it is; and the
// launcher's peak memory, also with a 1 GiB file in the tree. And the install by a launcher
// with the publisher's key built in, which checks every file with SHA-256 as well as SHA-1,
// against the same install without the key.
// With --https instead: the install from the same nginx over http and over https, in turns,
// and the ratio of the two.
// With --start instead: the up-to-date start (same update, every file soft-checked) against a
// C program stating every installed file, in turns, and the bytes a start fetches.
//   qz4_bench_install <tree> [--big | --https | --start] [--keep DIR]
// The tree is any directory (scripts/bench-install.sh takes a Debian game data package);
// it is published as the client/ folder of a game.
#include "bench/bench_support.hpp"
#include "common/ascii_text.hpp"
#include "common/encoding.hpp"
#include "common/lzma2_codec.hpp"
#include "signatures/signatures.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
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

enum class packing { as_configured, none };

void configure(const fs::path& publisher, const std::string& base, const nlohmann::json& soft,
               packing pack = packing::as_configured) {
    nlohmann::json config = publisher_config_template(product_guid);
    if (fs::exists(publisher / "config.json"))
        config = parse_json_file(bench::wide_path(publisher / "config.json"));
    config["client"]["guid"] = product_guid;
    config["client"]["hosts"] = nlohmann::json::array({base});
    config["client"]["check"]["hard_check"] = nlohmann::json::array();
    config["client"]["check"]["soft_check"] = soft;
    // A start that finds everything current fetches no file: packing them is not worth the wait.
    if (pack == packing::none)
        config["maker"]["packer"]["minsize"] = 1u << 30;
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
        const std::string file = wide_to_utf8(replace_all(server_copy_path(path).value(), L"\\", L"/"));
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

// Installs into empty directories by the launcher with the publisher's key and by the one
// without, in turns; the fastest of each. The tree is signed with that key, so both take it.
void measure_keyed(const fs::path& work, double first_install) {
    const fs::path keyed = work / "game-keyed";
    const fs::path plain = work / "game-plain";
    for (const auto& [game, launcher] :
         {std::pair{keyed, QZ4_E2E_LAUNCHER_PATH}, std::pair{plain, QZ4_E2E_UNSIGNED_LAUNCHER_PATH}}) {
        fs::create_directories(game);
        fs::copy_file(launcher, game / "qz4launcher", fs::copy_options::overwrite_existing);
    }
    // The first install was the keyed launcher's. Each goes first in every other round: an
    // install is slower the more installs came just before it.
    double keyed_best = first_install;
    double plain_best = 1e9;
    for (int round = 0; round < 4; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool with_key = (round + turn) % 2 == 1;
            const fs::path& game = with_key ? keyed : plain;
            clear_game(game);
            double& best = with_key ? keyed_best : plain_best;
            best = std::min(best, run_launcher(game).wall_seconds);
        }
    }
    std::printf("With the publisher's key built in (SHA-256 checked besides SHA-1)\n");
    std::printf(
        "  fastest install with the key %.2f s, without %.2f s: keyed / unkeyed %.3f (goal <= 1.10)\n",
        keyed_best, plain_best, keyed_best / plain_best);
}

// The update's configuration changed on the server: the launcher takes the plain index, which
// then holds the change.
void change_served_config(const fs::path& www, std::uint32_t update,
                          const std::function<void(nlohmann::json&)>& change) {
    const fs::path directory = www / "qz4" / std::to_string(update);
    auto index = parse_json_file(bench::wide_path(directory / "index.json"));
    change(index["config"]);
    if (!write_json_compact(bench::wide_path(directory / "index.json"), index))
        fail("cannot rewrite the index");
    fs::remove(directory / "index.json.lzma2");
    // Signed again as the publisher's patch maker would: a launcher with the key refuses an
    // index whose signature no longer holds, and would start the game at once.
    std::ifstream in(directory / "index.json", std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    const std::optional<signing_key> key = signing_key::from_key_file(QZ4_E2E_SIGNING_KEY "\n");
    if (!key)
        fail("the test publisher's key is unreadable");
    const signature_file signature = key->sign(signed_document::index, product_guid, update, bytes);
    std::ofstream(directory / "index.json.sig", std::ios::binary)
        .write(reinterpret_cast<const char*>(signature.data()),
               static_cast<std::streamsize>(signature.size()));
}

// The same update, served with every file hard-checked: the launcher then hashes them all.
void serve_hard_checked(const fs::path& www, std::uint32_t update, const nlohmann::json& patterns) {
    change_served_config(www, update, [&patterns](nlohmann::json& config) {
        config["check"]["hard_check"] = patterns;
        config["check"]["soft_check"] = nlohmann::json::array();
    });
}

std::size_t files_below(const fs::path& directory) {
    std::size_t count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(directory))
        count += entry.is_regular_file() ? 1 : 0;
    return count;
}

// An install into an empty game directory that must bring every file: a launcher that could
// not connect would start the game at once and pass for a fast one.
bench::process_figures full_install(const fs::path& game, const published& tree) {
    clear_game(game);
    const auto run = run_launcher(game);
    if (!fs::is_directory(game / "client") || files_below(game / "client") != tree.remote_paths.size())
        fail("the launcher in " + game.string() + " did not install every file");
    return run;
}

struct access_figures {
    std::size_t requests = 0;
    std::uint64_t bytes = 0; // sent by nginx, headers included
};

// What nginx sent since `offset` of its access log, whose lines end with $bytes_sent.
access_figures served_since(const fs::path& log, std::uintmax_t offset) {
    std::ifstream in(log, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    access_figures figures;
    for (std::string line; std::getline(in, line);) {
        const std::size_t last = line.find_last_of(' ');
        if (last == std::string::npos)
            continue;
        ++figures.requests;
        figures.bytes += std::stoull(line.substr(last + 1));
    }
    return figures;
}

// The up-to-date start of the installed game, in turns with the reference stating every
// installed file; the fastest and the median of each. Then one start's traffic.
void measure_start(const fs::path& game, const fs::path& state, const published& tree) {
    (void)full_install(game, tree);
    (void)run_launcher(game); // the first start after the install
    constexpr int rounds = 9;
    std::vector<double> starts;
    std::vector<double> stats;
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            if ((round + turn) % 2 == 0) {
                settle();
                const auto stat = bench::run_measured({QZ4_STAT_TREE_PATH, "client"}, game);
                if (stat.exit_code != 0)
                    fail("the reference could not state the tree");
                stats.push_back(stat.wall_seconds);
            } else {
                starts.push_back(run_launcher(game).wall_seconds);
            }
        }
    }
    const fs::path log = state / "access.log";
    const std::uintmax_t offset = fs::file_size(log);
    (void)run_launcher(game);
    const access_figures traffic = served_since(log, offset);
    std::sort(starts.begin(), starts.end());
    std::sort(stats.begin(), stats.end());
    std::printf("Up-to-date start against a C program stating every installed file (%d each, in turns)\n",
                rounds);
    std::printf("  %-44s %8.3f s fastest %8.3f s median\n", "stating every file", stats.front(),
                stats[rounds / 2]);
    std::printf("  %-44s %8.3f s fastest %8.3f s median\n", "launcher, up-to-date start", starts.front(),
                starts[rounds / 2]);
    std::printf("  start / stating: fastest %.2f, median %.2f (goal <= 3)\n", starts.front() / stats.front(),
                starts[rounds / 2] / stats[rounds / 2]);
    std::printf("  fetched per start: %zu requests, %llu bytes with headers (goal <= 2048)\n",
                traffic.requests, static_cast<unsigned long long>(traffic.bytes));
}

// The same install from the same nginx over http and over https, in turns, each launcher
// fetching the files from the host of its own scheme. A second or two each on a shared
// machine: the fastest and the median of several, the fastest deciding, and the median of
// each round's own ratio.
void compare_schemes(const fs::path& work, const fs::path& www, const published& tree,
                     const std::string& http_base, const std::string& https_base) {
    struct scheme_run {
        const char* name;
        const char* launcher;
        std::string base;
        fs::path game;
        std::vector<bench::process_figures> installs;
    };
    scheme_run runs[] = {{"http", QZ4_E2E_LAUNCHER_PATH, http_base, work / "game-http", {}},
                         {"https", QZ4_E2E_HTTPS_LAUNCHER_PATH, https_base, work / "game-https", {}}};
    for (auto& run : runs) {
        fs::create_directories(run.game);
        fs::copy_file(run.launcher, run.game / "qz4launcher", fs::copy_options::overwrite_existing);
    }
    constexpr int rounds = 7;
    // Each scheme goes first in every other round: on this machine an install is slower the
    // more installs came before it in quick succession.
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            auto& run = runs[(round + turn) % 2];
            change_served_config(www, tree.update, [&run](nlohmann::json& config) {
                config["hosts"] = nlohmann::json::array({run.base});
            });
            run.installs.push_back(full_install(run.game, tree));
        }
    }
    // Each round's two installs ran next to each other, under much the same load.
    std::vector<double> round_ratios;
    for (int round = 0; round < rounds; ++round)
        round_ratios.push_back(runs[1].installs[round].wall_seconds / runs[0].installs[round].wall_seconds);
    std::sort(round_ratios.begin(), round_ratios.end());
    // The launcher's own work, TLS included: the kernel's share (page cache, file system)
    // is what swings on a loaded machine.
    double user_seconds[2] = {};
    for (int scheme = 0; scheme < 2; ++scheme) {
        std::vector<double> user;
        for (const auto& install : runs[scheme].installs)
            user.push_back(install.user_seconds);
        std::sort(user.begin(), user.end());
        user_seconds[scheme] = user[rounds / 2];
    }
    std::printf("Full install over http and over https, in turns (%d each)\n", rounds);
    for (auto& run : runs) {
        std::printf("  %-5s installs in turn:", run.name);
        for (const auto& install : run.installs)
            std::printf(" %.2f", install.wall_seconds);
        std::printf(" s\n");
        std::sort(run.installs.begin(), run.installs.end(),
                  [](const auto& a, const auto& b) { return a.wall_seconds < b.wall_seconds; });
    }
    for (const auto& run : runs) {
        print_run((std::string("fastest over ") + run.name).c_str(), run.installs.front());
        print_run((std::string("median over ") + run.name).c_str(), run.installs[rounds / 2]);
    }
    std::printf("  https / http: fastest %.3f (goal <= 1.15), median %.3f, median of the rounds' own %.3f\n",
                runs[1].installs.front().wall_seconds / runs[0].installs.front().wall_seconds,
                runs[1].installs[rounds / 2].wall_seconds / runs[0].installs[rounds / 2].wall_seconds,
                round_ratios[rounds / 2]);
    std::printf("  median user CPU: http %.2f s, https %.2f s, https / http %.3f\n", user_seconds[0],
                user_seconds[1], user_seconds[1] / user_seconds[0]);
}

} // namespace

int main(int argc, char** argv) {
    fs::path tree;
    fs::path kept;
    bool big = false;
    bool https = false;
    bool start = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--keep" && i + 1 < argc)
            kept = argv[++i];
        else if (argument == "--big")
            big = true;
        else if (argument == "--https")
            https = true;
        else if (argument == "--start")
            start = true;
        else
            tree = argument;
    }
    if (tree.empty() || !fs::is_directory(tree) ||
        static_cast<int>(big) + static_cast<int>(https) + static_cast<int>(start) > 1) {
        std::fprintf(stderr, "usage: qz4_bench_install <tree> [--big | --https | --start] [--keep DIR]\n");
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
        // A Debian tree may hold links to files of other packages (wesnoth's fonts), which
        // need not be installed: the patch maker publishes no link.
        fs::copy(tree, publisher / "input" / "client",
                 fs::copy_options::recursive | fs::copy_options::skip_symlinks);
        fs::copy_file(QZ4_E2E_LAUNCHER_PATH, publisher / "qz4launcher");
        fs::copy_file(QZ4_E2E_LAUNCHER_PATH, game / "qz4launcher");
        // The key the launcher is built with: the patch maker signs with it, as a publisher's does.
        std::ofstream(publisher / "signing.key") << QZ4_E2E_SIGNING_KEY "\n";
        const std::string base = "http://127.0.0.1:" + std::to_string(QZ4_E2E_PORT) + "/qz4/";
        const std::string https_base = "https://localhost:" + std::to_string(QZ4_E2E_TLS_PORT) + "/qz4/";
        const nlohmann::json patterns = patterns_for(deepest_level(tree));

        // The authority is the one the https launcher was built to trust.
        bench::nginx_process nginx(QZ4_PYTHON, QZ4_NGINX_FIXTURE, state, QZ4_E2E_PORT,
                                   bench::nginx_tls{QZ4_E2E_TLS_PORT, QZ4_E2E_TLS_DIR});
        configure(publisher, base, patterns, start ? packing::none : packing::as_configured);
        std::printf("Publishing %s\n", tree.string().c_str());
        const published served = publish(publisher, state / "www");
        std::printf("  %zu files, %.1f MiB, %zu packed\n", served.remote_paths.size(),
                    static_cast<double>(served.bytes) / (1 << 20), served.packed.size());
        if (https) {
            compare_schemes(work, state / "www", served, base, https_base);
            return 0;
        }
        if (start) {
            measure_start(game, state, served);
            return 0;
        }

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
        // The unpack workers share the decoding out over the cores.
        const double cores = std::max(1U, std::thread::hardware_concurrency());
        const double slower = std::max(curl.wall_seconds, decode / cores);
        std::printf("  install / max(a, b / %.0f cores) %8.3f (goal <= 1.1); install / (a + b) %8.3f; "
                    "install / curl to files %8.3f\n",
                    cores, install.wall_seconds / slower, install.wall_seconds / (curl.wall_seconds + decode),
                    install.wall_seconds / curl_files.wall_seconds);

        measure_keyed(work, install.wall_seconds);

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
