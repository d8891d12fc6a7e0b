// The engine's download stage in the process, with 1, 4 and 8 transfers at once, against
// references measured in the same run:
//   (1) 2,000 small files behind 30 ms of latency per request (the test server's delay
//       route): K = 1 against K = 4 and 8 (goal: K = 4 at least 3 times faster than K = 1);
//   (2) one large file from nginx on loopback: the install with K = 4 against the curl tool
//       writing the same file (goal: curl time / install time >= 0.95);
//   (3) a large file cut at 90 % by the test server's resume route, the install repeated
//       until it holds the file: the bytes sent after the cut as a share of the file (goal
//       <= 12 %);
//   (4) the small files again from nginx behind a delaying proxy: K = 1 against K = 4.
//   qz4_bench_transfers [--files N | --tree DIR] [--big-mib M] [--resume-mib M] [--only 1|2|3|4]
// (--tree: any directory as the client/ folder in place of the generated small files)
#include "bench/bench_support.hpp"
#include "bench/delay_proxy.hpp"
#include "common/ascii_text.hpp"
#include "common/encoding.hpp"
#include "common/lzma2_codec.hpp"
#include "common/sha1.hpp"
#include "net/downloader.hpp"
#include "splash/splash_view.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"
#include "update/engine/game_launcher.hpp"

#include "tests/support/temp_dir.hpp"
#include "tests/support/test_process.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace qz4;
using clock_type = std::chrono::steady_clock;

constexpr char product_guid[] = "7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97";
constexpr double mebibyte = 1024.0 * 1024.0;

void fail(const std::string& what) {
    throw std::runtime_error(what);
}

class quiet_splash final : public splash_view {
public:
    void set_status_text(const std::wstring&) override {}
    void set_progress(std::uint32_t, std::uint32_t) override {}
    void set_progress_value(std::uint32_t) override {}
    [[nodiscard]] bool is_closed() const override { return false; }
};

// An update tree as a server directory holds it: the file copies of update 1 and the
// records of its index. The documents are written for each host, since an index's host list
// replaces the launcher's.
struct update_tree {
    fs::path dir;
    nlohmann::json records = nlohmann::json::array();
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    std::vector<std::string> remote_paths;
};

void add_file(update_tree& tree, const std::string& local_path, const std::string& content) {
    file_record record;
    record.u = 1;
    record.l = local_path;
    record.l_sha1 = sha1_text(content);
    record.l_size = content.size();
    record.r = remote_path_text(1, utf8_to_wide(local_path), false);
    record.r_size = record.l_size;
    // The server decodes the escapes of `r`.
    const std::string on_disk = wide_to_utf8(replace_all(server_copy_path(record.r).value(), L"\\", L"/"));
    test::write_file(tree.dir / fs::u8path(on_disk), content);
    tree.records.push_back(file_record_json(record));
    tree.remote_paths.push_back(record.r);
    ++tree.files;
    tree.bytes += content.size();
}

void write_documents(const update_tree& tree, const std::string& host) {
    const nlohmann::json config = {
        {"version", 3},
        {"guid", product_guid},
        {"hosts", {host}},
        {"check",
         {{"hard_check", {"*", "*\\*", "*\\*\\*"}},
          {"soft_check", nlohmann::json::array()},
          {"acceptable_checksums", nlohmann::json::array()}}},
    };
    const fs::path plain = tree.dir / "1" / "index.json";
    test::write_file(plain, json_text_compact(index_document(config, tree.records)));
    if (lzma2_file_codec(false, test::wide_path(plain),
                         test::wide_path(tree.dir / "1" / "index.json.lzma2")) != lzma2_result::ok)
        fail("cannot pack the index");
    test::write_file(tree.dir / "version.json", json_text_compact(version_document(1)));
}

// 4 to 64 KiB each, sizes and bytes fixed by the file's number.
update_tree small_files(const fs::path& dir, std::size_t count) {
    update_tree tree;
    tree.dir = dir;
    std::uint64_t state = 0x9E3779B97F4A7C15ULL;
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const std::size_t size = 4096 + static_cast<std::size_t>((state >> 33) % (60 * 1024 + 1));
        char name[64];
        std::snprintf(name, sizeof name, "client\\data\\d%02zu\\file_%04zu.bin", i % 40, i);
        add_file(tree, name, test::random_bytes(size, static_cast<std::uint32_t>(i + 1)));
    }
    return tree;
}

// Any directory as the game's client/ folder (a Debian game data tree, as the install
// benchmark takes).
update_tree files_of(const fs::path& dir, const fs::path& source) {
    update_tree tree;
    tree.dir = dir;
    for (const auto& entry : fs::recursive_directory_iterator(source)) {
        if (!entry.is_regular_file())
            continue;
        std::string local = "client/" + fs::relative(entry.path(), source).generic_string();
        std::replace(local.begin(), local.end(), '/', '\\');
        add_file(tree, local, test::read_file(entry.path()));
    }
    return tree;
}

update_tree one_large_file(const fs::path& dir, std::size_t mib) {
    update_tree tree;
    tree.dir = dir;
    add_file(tree, "client\\big.bin", test::random_bytes(mib << 20, 7));
    return tree;
}

// Writes back what earlier steps left dirty, so that no step pays for another's files.
void settle() {
    ::sync();
}

struct install_result {
    double seconds = 0;
    std::size_t files = 0; // below client/ afterwards
};

install_result install(const fs::path& game, const std::string& host, std::uint32_t connections,
                       bool fresh = true) {
    if (fresh)
        fs::remove_all(game);
    fs::create_directories(game);
    test::write_file(game / "launcher.exe", "launcher");
    launcher_settings settings;
    settings.exe_path = test::wide_path(game / "launcher.exe");
    settings.product_guid = utf8_to_wide(product_guid);
    settings.built_in_hosts = {host};
    game_launcher launcher(std::move(settings));
    if (!launcher.init())
        fail("the launcher has no hosts");
    launcher.connections = connections;
    launcher.self_update_allowed = false;
    launcher.close_instances = [] { return true; };
    quiet_splash splash;
    bool restart = false;
    settle();
    install_result result;
    const auto started = clock_type::now();
    const bool ok = launcher.run(splash, restart);
    result.seconds = std::chrono::duration<double>(clock_type::now() - started).count();
    if (!ok || !launcher.error_text.empty())
        fail("the install failed: " + wide_to_utf8(launcher.error_text));
    for (const auto& entry : fs::recursive_directory_iterator(game / "client"))
        result.files += entry.is_regular_file();
    return result;
}

void check_complete(const install_result& result, const update_tree& tree) {
    if (result.files != tree.files)
        fail("the install left " + std::to_string(result.files) + " of " + std::to_string(tree.files) +
             " files");
}

void print_install(const char* name, const install_result& result, const update_tree& tree) {
    std::printf("  %-40s %8.2f s  %8.1f MiB/s  %6.0f files/s\n", name, result.seconds,
                static_cast<double>(tree.bytes) / mebibyte / result.seconds,
                static_cast<double>(tree.files) / result.seconds);
}

// (1) and (4): the same small files through `host` with each number of transfers.
void compare_connections(const update_tree& tree, const std::string& host, const fs::path& game,
                         const std::vector<std::uint32_t>& counts) {
    write_documents(tree, host);
    std::vector<double> seconds;
    for (const std::uint32_t k : counts) {
        const install_result result = install(game, host, k);
        check_complete(result, tree);
        print_install(("install, connections = " + std::to_string(k)).c_str(), result, tree);
        seconds.push_back(result.seconds);
    }
    for (std::size_t i = 1; i < counts.size(); ++i)
        std::printf("  K=%u / K=%u time ratio %6.2f%s\n", counts[0], counts[i], seconds[0] / seconds[i],
                    counts[i] == 4 ? " (goal >= 3)" : "");
}

std::string read_served(const std::string& url) {
    downloader transfer;
    test::temp_dir dir;
    if (!transfer.download(url, dir.wide("log.txt")))
        fail("cannot read " + url + ": " + transfer.last_error);
    return test::read_file(dir.native("log.txt"));
}

// (3): the bytes the resume route sent for the file after its first, cut, answer.
void measure_resume(const update_tree& tree, const std::string& server, const fs::path& game) {
    const std::uint64_t cut = tree.bytes / 10 * 9;
    const std::string run = "resume-" + std::to_string(::getpid());
    const std::string host = server + "_/resume/cut=" + std::to_string(cut) + ",run=" + run + "/" +
                             tree.dir.filename().string() + "/";
    write_documents(tree, host);
    fs::remove_all(game);
    double seconds = 0;
    int runs = 0;
    for (; runs < 3; ++runs) {
        const auto started = clock_type::now();
        try {
            (void)install(game, host, 4, false);
            seconds += std::chrono::duration<double>(clock_type::now() - started).count();
            break;
        } catch (const std::exception& error) {
            // A run that failed is what a player would start again.
            seconds += std::chrono::duration<double>(clock_type::now() - started).count();
            std::printf("    install run %d: %s\n", runs + 1, error.what());
        }
    }
    const std::string log = read_served(server + "_/resume-log/" + run);
    std::istringstream lines(log);
    std::string path, range, status;
    std::uint64_t sent = 0, after_cut = 0;
    int requests = 0;
    while (lines >> path >> range >> status >> sent) {
        if (path != tree.dir.filename().string() + "/" + tree.remote_paths.front())
            continue;
        if (requests++ > 0)
            after_cut += sent;
        std::printf("    request %d: Range %s, status %s, %.1f MiB sent\n", requests, range.c_str(),
                    status.c_str(), static_cast<double>(sent) / mebibyte);
    }
    std::printf("  %d install run(s), %.2f s; file %.0f MiB cut at %.0f MiB\n", runs + 1, seconds,
                static_cast<double>(tree.bytes) / mebibyte, static_cast<double>(cut) / mebibyte);
    std::printf("  sent after the cut: %.1f MiB, %.1f %% of the file (goal <= 12 %%)\n",
                static_cast<double>(after_cut) / mebibyte,
                100.0 * static_cast<double>(after_cut) / static_cast<double>(tree.bytes));
}

// (2): the large file from nginx, installed with four transfers and fetched by curl into a
// file on the same disk.
void compare_with_curl(const update_tree& tree, const std::string& base, const fs::path& game,
                       const fs::path& work) {
    const std::string host = base + tree.dir.filename().string() + "/";
    write_documents(tree, host);
    const fs::path target = work / "curl-target.bin";
    settle();
    const auto curl = bench::run_measured(
        {"curl", "--fail", "--silent", "-o", target.string(), host + tree.remote_paths.front()}, work);
    if (curl.exit_code != 0 || fs::file_size(target) != tree.bytes)
        fail("curl could not fetch the large file");
    // The install also checks the file's digest; this shows what that costs on its own.
    const auto digest = bench::run_measured({"sha1sum", target.string()}, work);
    fs::remove(target);
    const install_result engine = install(game, host, 4);
    check_complete(engine, tree);
    std::printf("  %-40s %8.2f s  %8.1f MiB/s\n", "curl, into a file", curl.wall_seconds,
                static_cast<double>(tree.bytes) / mebibyte / curl.wall_seconds);
    std::printf("  %-40s %8.2f s\n", "sha1sum of that file, for comparison", digest.wall_seconds);
    print_install("install, connections = 4", engine, tree);
    std::printf("  curl time / install time %6.3f (goal >= 0.95)\n", curl.wall_seconds / engine.seconds);
}

struct options {
    std::size_t files = 2000;
    std::size_t big_mib = 512;
    std::size_t resume_mib = 256;
    int only = 0;
    fs::path tree; // instead of the generated small files
};

constexpr char usage_text[] =
    "usage: qz4_bench_transfers [--files N | --tree DIR] [--big-mib M] [--resume-mib M] [--only 1|2|3|4]";

options read_options(int argc, char** argv) {
    options result;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const auto value = static_cast<std::size_t>(std::atoll(argv[i + 1]));
        if (name == "--tree")
            result.tree = argv[i + 1];
        else if (name == "--files")
            result.files = value;
        else if (name == "--big-mib")
            result.big_mib = value;
        else if (name == "--resume-mib")
            result.resume_mib = value;
        else if (name == "--only")
            result.only = static_cast<int>(value);
        else
            fail(usage_text);
    }
    if (argc % 2 == 0)
        fail(usage_text);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const options chosen = read_options(argc, argv);
        const auto wanted = [&](int part) { return chosen.only == 0 || chosen.only == part; };
        bench::scratch_dir scratch;
        const fs::path work = scratch.path();
        const fs::path root = work / "server-root";
        const fs::path game = work / "game";
        fs::create_directories(root);
        fs::create_directories(work / "server-state");
        const test::background_process server(QZ4_PYTHON,
                                              {QZ4_HTTP_SERVER_SCRIPT, "serve", "--quiet", "--root",
                                               root.string(), "--state-dir",
                                               (work / "server-state").string()},
                                              work);
        const std::string base = bench::wait_for_base_url(work / "server-state");

        update_tree small;
        if (wanted(1) || wanted(4)) {
            small = chosen.tree.empty() ? small_files(root / "small", chosen.files)
                                        : files_of(root / "small", chosen.tree);
            std::printf("%zu %s files, %.1f MiB\n", small.files, chosen.tree.empty() ? "small" : "tree",
                        static_cast<double>(small.bytes) / mebibyte);
        }
        if (wanted(1)) {
            std::printf("(1) behind 30 ms per request (the test server's delay route)\n");
            compare_connections(small, base + "_/delay/30/small/", game, {1, 4, 8});
        }
        if (wanted(2) || wanted(4)) {
            bench::nginx_process nginx(QZ4_PYTHON, QZ4_NGINX_FIXTURE, work / "nginx", QZ4_E2E_PORT);
            const std::string nginx_base = "http://127.0.0.1:" + std::to_string(QZ4_E2E_PORT) + "/";
            if (wanted(2)) {
                std::printf("(2) one large file from nginx on loopback\n");
                const update_tree big = one_large_file(work / "nginx" / "www" / "big", chosen.big_mib);
                compare_with_curl(big, nginx_base, game, work);
                fs::remove_all(big.dir);
            }
            if (wanted(4)) {
                std::printf("(4) the small files from nginx behind a proxy that delays each request 30 ms\n");
                fs::copy(small.dir, work / "nginx" / "www" / "small", fs::copy_options::recursive);
                small.dir = work / "nginx" / "www" / "small";
                const bench::delay_proxy proxy(QZ4_E2E_PORT, std::chrono::milliseconds(30));
                compare_connections(small, "http://127.0.0.1:" + std::to_string(proxy.port()) + "/small/",
                                    game, {1, 4});
            }
        }
        if (wanted(3)) {
            std::printf("(3) a large file cut at 90 %% (the test server's resume route)\n");
            const update_tree cut = one_large_file(root / "resume", chosen.resume_mib);
            measure_resume(cut, base, game);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "qz4_bench_transfers: %s\n", error.what());
        return 1;
    }
    return 0;
}
