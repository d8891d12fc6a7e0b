// Whole runs against three hosts that answer with a random mix of faults per request (the
// test server's chaos mode), each run started from an older installed version. After each
// mix: the game is the published client or, file by file, the old or the new version; no
// file the engine writes grows beyond its cap plus one receive buffer; the run ends within
// what its attempt, pause and low-speed limits allow.
//
// The bound: a run makes at most hosts x (3 x max_attempts + files + failure_limit) requests
// (a retrieval per pass, of up to three requests an attempt; a pass per host, fetching each
// file once and giving up after failure_limit failed downloads). A request that delivers
// less than 64 KiB/s ends after the low-speed time plus about a second; one that delivers
// more ends at its cap, after at most cap / 64 KiB seconds. Pauses come only between
// retrieval attempts, at most hosts x (max_attempts - 1) of them. With the defaults (10 s,
// three attempts, 1 s pauses) three hostile hosts can keep a game of n small files updating
// for 3 x (19 + n) x 11 s + 6 s; here the low-speed time is 1 s, the pauses are recorded, and
// each mix is held to the sum of what its served requests may take.
//
// QZ4_HOSTILE_MIXES (default 12) and QZ4_HOSTILE_SEED (default 1) choose how many mixes and
// which; mix i uses seed + i, so a longer campaign repeats the short one first.
#include "common/ascii_text.hpp"
#include "common/encoding.hpp"
#include "net/downloader.hpp"
#include "update/documents/manifests.hpp"
#include "update/engine/engine_files.hpp"
#include "update/engine/pass_state.hpp"

#include "tests/support/http_test_server.hpp"
#include "tests/update/engine/engine_harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>

namespace qz4 {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

constexpr std::uint32_t low_speed_seconds = 1;   // transfer_timeout and retrieval_timeout
constexpr std::uint64_t receive_buffer = 102400; // the downloader's CURLOPT_BUFFERSIZE
constexpr std::uint64_t version_cap = 64 * 1024;
constexpr std::uint64_t index_cap = 64 * 1024 * 1024;
const char* const all_faults[] = {"404",     "500",     "503",    "cut0",      "cut1",
                                  "cuthalf", "cutlast", "longer", "longclose", "trailing",
                                  "lenmore", "lenless", "flip",   "chunked",   "endless",
                                  "drip",    "stall",   "silent", "redirect",  "huge"};

// The most bytes written to each file through one creation of it, whatever happened next.
class byte_counting_files final : public test::system_files {
public:
    std::unique_ptr<output_file> create_file(const std::wstring& path, std::uint32_t& error) override {
        auto file = system_files::create_file(path, error);
        if (!file)
            return file;
        return std::make_unique<counted>(std::move(file), *this, path);
    }

    [[nodiscard]] std::map<std::wstring, std::uint64_t> most_written() const {
        const std::lock_guard lock(mutex_);
        return most_;
    }

private:
    class counted final : public output_file {
    public:
        counted(std::unique_ptr<output_file> inner, byte_counting_files& owner, std::wstring path)
            : inner_(std::move(inner)), owner_(owner), path_(std::move(path)) {}
        ~counted() override { owner_.record(path_, written_); }
        bool write(const void* data, std::size_t size) override {
            written_ += size;
            return inner_->write(data, size);
        }
        bool finish() override { return inner_->finish(); }

    private:
        std::unique_ptr<output_file> inner_;
        byte_counting_files& owner_;
        std::wstring path_;
        std::uint64_t written_ = 0; // the writing thread's own
    };

    void record(const std::wstring& path, std::uint64_t written) {
        const std::lock_guard lock(mutex_);
        auto& most = most_[path];
        most = std::max(most, written);
    }

    mutable std::mutex mutex_; // guards most_
    std::map<std::wstring, std::uint64_t> most_;
};

std::string env_or(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

struct client_file {
    std::string path;
    std::string old_content; // empty: not in the older version
    std::string new_content;
    bool packed;
};

std::vector<client_file> make_client() {
    std::string text;
    for (int line = 0; text.size() < 120000; ++line)
        text += "line " + std::to_string(line) + " of a configuration the game reads\n";
    return {
        {"data/big.bin", test::random_bytes(300000, 1), test::random_bytes(300000, 2), false},
        {"data/text.txt", text, text + "one more line\n", true},
        {"media/pic.raw", test::random_bytes(600000, 3), test::random_bytes(610000, 4), false},
        {"one.byte", "a", "b", false},
        {"config/settings.cfg", "volume=3\n", "volume=7\nmusic=on\n", true},
        {"same.dat", test::random_bytes(50000, 5), test::random_bytes(50000, 5), false},
        {"added/new file.txt", "", text.substr(0, 30000), true},
        // The launcher replaces itself too: beside the running one, then two renames.
        {"launcher.exe", "the running launcher", test::random_bytes(80000, 6), true},
    };
}

struct mix_result {
    bool identical = false;
    bool unchanged = false;
    double seconds = 0;
    double bound = 0;
    std::size_t requests = 0;
};

class HostileServer : public testing::Test {
protected:
    HostileServer() : client(make_client()) {
        for (auto& tree : trees)
            for (const auto& file : client) {
                const bool same = file.old_content == file.new_content;
                auto entry = tree.add_file(same ? 1 : 2, file.path, file.new_content, file.packed);
                if (&tree == &trees[0])
                    entries.push_back(entry);
            }
    }

    // The base URL of a host through the server's chaos mode with these options.
    static std::string chaos_url(const test::served_tree& tree, const std::string& options) {
        return test::routed_url(tree, "_/chaos/" + options + "/");
    }

    // One line per request that the chaos mode served in this run: "<fault> <path>".
    static std::vector<std::string> served(const std::string& run) {
        return test::server_log("_/chaos-log/" + run);
    }

    // The most a request may take. A fault that delivers slowly or nothing is given up by the
    // low-speed check within its time plus the check's one-second granularity; a body without
    // end stops at the cap, 64 MiB for the index at loopback speed; everything else is quick.
    static double request_bound(const std::string& fault) {
        if (fault == "drip" || fault == "stall" || fault == "silent")
            return low_speed_seconds + 1.5;
        if (fault == "endless" || fault == "chunked" || fault == "huge")
            return 3.0;
        return 0.5;
    }

    testing::AssertionResult check_caps(const byte_counting_files& files,
                                        const game_launcher& launcher) const {
        std::string failures;
        for (const auto& [path, written] : files.most_written()) {
            std::uint64_t cap = 0;
            if (test::ends_with_path(path, launcher.work_area.version_json_path))
                cap = version_cap;
            else if (test::ends_with_path(path, launcher.work_area.index_json_path) ||
                     test::ends_with_path(path, launcher.work_area.index_lzma2_path))
                cap = index_cap;
            for (const auto& entry : entries) {
                std::wstring local = utf8_to_wide(entry["l"].get<std::string>());
                std::replace(local.begin(), local.end(), L'/', L'\\');
                const auto size = entry["r_size"].get<std::uint64_t>();
                if (path.find(L"\\downloading\\") != std::wstring::npos &&
                    (test::ends_with_path(path, local + L".temp") ||
                     test::ends_with_path(path, local + L".lzma2")))
                    cap = size;
                if (test::ends_with_path(path, local + L".unp"))
                    cap = entry["l_size"].get<std::uint64_t>();
            }
            if (cap == 0)
                continue; // the launcher's own documents
            most_beyond_cap =
                std::max<std::int64_t>(most_beyond_cap, static_cast<std::int64_t>(written - cap));
            if (written > cap + receive_buffer)
                failures +=
                    " " + wide_to_utf8(path) + ": " + std::to_string(written) + " > " + std::to_string(cap);
        }
        if (failures.empty())
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "written beyond the cap:" << failures;
    }

    // Every file is the old or the new version; a file new in this update may be missing.
    testing::AssertionResult check_tree(const std::map<std::string, std::string>& actual) const {
        std::string failures;
        for (const auto& file : client) {
            const auto found = actual.find(file.path);
            if (found == actual.end()) {
                if (!file.old_content.empty())
                    failures += " lost:" + file.path;
            } else if (found->second != file.new_content && found->second != file.old_content) {
                failures += " broken:" + file.path + "(" + std::to_string(found->second.size()) + " bytes)";
            }
        }
        for (const auto& [name, content] : actual)
            if (std::none_of(client.begin(), client.end(),
                             [&](const client_file& file) { return file.path == name; }))
                failures += " unexpected:" + name;
        if (failures.empty())
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << failures;
    }

    // What a run leaves in the download area must be whole, checked server copies, never a
    // part of one.
    testing::AssertionResult check_download_area(const test::game_install& game) const {
        const fs::path native =
            game.dir().native(".temp/" + std::string(test::test_product_guid) + "/downloading");
        std::string failures;
        if (!fs::exists(native))
            return testing::AssertionSuccess();
        for (const auto& file : fs::recursive_directory_iterator(native)) {
            if (!file.is_regular_file())
                continue;
            const std::u8string utf8 = fs::relative(file.path(), native).generic_u8string();
            std::string relative(utf8.begin(), utf8.end());
            const std::size_t dot = relative.rfind('.');
            const std::string local = relative.substr(0, dot);
            bool whole = false;
            for (const auto& entry : entries)
                if (entry["l"] == local) {
                    const std::string remote = wide_to_utf8(
                        replace_all(server_copy_path(entry["r"].get<std::string>()).value(), L"\\", L"/"));
                    whole = test::read_file(file.path()) == test::read_file(trees[0].path(remote));
                }
            if (!whole)
                failures += " " + relative;
        }
        if (failures.empty())
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "left in the download area:" << failures;
    }

    mix_result run_mix(std::uint64_t seed, const std::string& nonce) {
        std::mt19937_64 random(seed);
        const std::string run = nonce + "-" + std::to_string(seed);
        std::vector<std::string> hosts;
        std::ostringstream description;
        for (const auto& tree : trees) {
            const int percents[] = {0, 15, 30, 50, 100};
            const int percent = percents[random() % 5];
            std::string faults;
            for (const char* fault : all_faults)
                if (random() % 2 == 0)
                    faults += (faults.empty() ? "" : "+") + std::string(fault);
            if (faults.empty())
                faults = "stall";
            hosts.push_back(chaos_url(tree, "seed=" + std::to_string(seed) + ",p=" + std::to_string(percent) +
                                                ",f=" + faults + ",run=" + run));
            description << " " << percent << "%";
        }
        SCOPED_TRACE(testing::Message() << "mix seed " << seed << ", faults per host:" << description.str());
        for (auto& tree : trees)
            tree.publish(2, test::test_config(hosts), entries);

        test::game_install game;
        for (const auto& file : client)
            if (!file.old_content.empty())
                game.write(file.path, file.old_content);
        std::map<std::string, std::string> published;
        for (const auto& file : client)
            published[file.path] = file.new_content;

        byte_counting_files files;
        auto launcher = game.launcher(hosts, &files);
        launcher->transfer_timeout = low_speed_seconds;
        launcher->retrieval_timeout = low_speed_seconds;
        test::recording_splash splash;
        bool restart = false;
        const auto started = clock_type::now();
        const bool ok = launcher->run(splash, restart);
        mix_result result;
        result.seconds = std::chrono::duration<double>(clock_type::now() - started).count();

        auto actual = game.client_files();
        // A swapped launcher leaves the old one beside it until the next start; a new one
        // that was not swapped in waits whole beside the running one.
        const client_file& self = client.back();
        for (const auto& [name, allowed] : {std::pair{"old-launcher.exe", self.old_content},
                                            std::pair{"new-launcher.exe", self.new_content}}) {
            if (const auto found = actual.find(name); found != actual.end()) {
                EXPECT_EQ(found->second == allowed, true) << name << " is not a whole launcher";
                actual.erase(found);
            }
        }
        EXPECT_EQ(restart, actual["launcher.exe"] == self.new_content) << "a restart exactly after a swap";
        result.identical = static_cast<bool>(test::same_files(actual, published));
        std::map<std::string, std::string> old_tree;
        for (const auto& file : client)
            if (!file.old_content.empty())
                old_tree[file.path] = file.old_content;
        result.unchanged = static_cast<bool>(test::same_files(actual, old_tree));
        EXPECT_TRUE(check_tree(actual));
        if (ok && launcher->error_text.empty())
            EXPECT_TRUE(test::same_files(actual, published)) << "a run that reported success";
        else
            EXPECT_FALSE(launcher->error_text.empty()) << "a failed run says why";
        EXPECT_TRUE(check_caps(files, *launcher));
        EXPECT_TRUE(check_download_area(game));

        // Retrieval: up to three requests per attempt; a pass: each file once, and at most
        // failure_limit failed downloads; a pass per host. Pauses only between attempts.
        const std::vector<std::string> lines = served(run);
        result.requests = lines.size();
        const std::size_t host_count = std::size(trees);
        const std::size_t request_limit =
            host_count * (3 * launcher->max_attempts + client.size() + failure_limit);
        EXPECT_LE(lines.size(), request_limit);
        EXPECT_LE(game.pauses().size(), host_count * (launcher->max_attempts - 1));
        result.bound = 5.0; // the run's own work: hashing, unpacking, documents
        for (const auto& line : lines)
            result.bound += request_bound(line.substr(0, line.find(' ')));
        EXPECT_LE(result.seconds, result.bound) << lines.size() << " requests";
        if (std::getenv("QZ4_HOSTILE_VERBOSE") != nullptr)
            for (const auto& error : launcher->download_errors())
                std::cout << "  download error " << wide_to_utf8(error) << "\n";
        if (std::getenv("QZ4_HOSTILE_VERBOSE") != nullptr)
            for (const auto& line : lines)
                std::cout << "  " << line.substr(0, line.find(' ')) << " " << line.substr(line.rfind('/') - 2)
                          << "\n";
        std::cout << "hostile: mix " << seed << description.str() << ": " << lines.size() << " requests, "
                  << (result.identical   ? "updated"
                      : result.unchanged ? "unchanged"
                                         : "old and new")
                  << ", " << result.seconds << " s (bound " << result.bound << " s)"
                  << (launcher->error_text.empty() ? "" : ": " + wide_to_utf8(launcher->error_text)) << "\n";
        return result;
    }

    const std::vector<client_file> client;
    test::served_tree trees[3] = {test::served_tree("a"), test::served_tree("b"), test::served_tree("c")};
    json entries = json::array();
    mutable std::int64_t most_beyond_cap = -1;
};

TEST_F(HostileServer, EveryMixLeavesTheOldOrTheNewVersionWithinTheCapsAndTheTimeBound) {
    const std::uint64_t mixes = std::stoull(env_or("QZ4_HOSTILE_MIXES", "12"));
    const std::uint64_t first = std::stoull(env_or("QZ4_HOSTILE_SEED", "1"));
    // Chaos counters are kept per options, and the options name the run: a second run of this
    // test against the same server starts afresh.
    const std::string nonce =
        std::to_string(std::chrono::system_clock::now().time_since_epoch().count() % 1000000007);
    const auto started = clock_type::now();
    std::size_t failed = 0, updated = 0, unchanged = 0;
    double worst = 0;
    for (std::uint64_t mix = 0; mix < mixes; ++mix) {
        const int failures_before =
            testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
        const mix_result result = run_mix(first + mix, nonce);
        const int parts = testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
        failed += parts != failures_before;
        updated += result.identical;
        unchanged += result.unchanged;
        worst = std::max(worst, result.seconds);
    }
    const double total = std::chrono::duration<double>(clock_type::now() - started).count();
    RecordProperty("mixes", std::to_string(mixes));
    RecordProperty("failed_mixes", std::to_string(failed));
    RecordProperty("worst_seconds", std::to_string(worst));
    RecordProperty("total_seconds", std::to_string(total));
    std::cout << "hostile: mixes " << mixes << " failures " << failed << " updated " << updated
              << " unchanged " << unchanged << " worst " << worst << " s total " << total
              << " s most beyond a cap " << most_beyond_cap << " bytes\n";
}

// Each fault alone, on one download with its cap, as the engine fetches files and documents:
// the chaos mode does what it says, and the download either fails or hands over bytes whose
// digest tells (trailing junk after the announced length is never read).
TEST_F(HostileServer, EachFaultEndsADownloadAsItMust) {
    enum class body { none, published, other };
    struct row {
        const char* fault;
        const char* path;
        const char* error; // the start of the error text, or null for a download that succeeds
        body result;
    };
    const row rows[] = {
        {"404", "2/data/big.bin", "CURL error: 22", body::none},
        {"503", "2/data/big.bin", "CURL error: 22", body::none},
        {"cut0", "2/data/big.bin", "CURL error: 18", body::none},
        {"cutlast", "2/data/big.bin", "CURL error: 18", body::none},
        {"cutlast", "2/one.byte", "CURL error: 18", body::none},
        {"longer", "2/data/big.bin", "CURL error: 63", body::none},
        {"longclose", "2/data/big.bin", "Too large: more than 300000 bytes", body::none},
        {"trailing", "2/data/big.bin", nullptr, body::published},
        {"lenmore", "2/data/big.bin", "CURL error: 63", body::none},
        {"lenmore", "version.json", "CURL error: 18", body::none},
        {"lenless", "2/data/big.bin", nullptr, body::other},
        {"flip", "2/data/big.bin", nullptr, body::other},
        {"flip", "version.json", nullptr, body::published},
        {"chunked", "2/data/big.bin", "Too large: more than 300000 bytes", body::none},
        {"endless", "version.json", "Too large: more than 65536 bytes", body::none},
        {"drip", "2/data/big.bin", "CURL error: 28", body::none},
        {"stall", "2/data/big.bin", "CURL error: 28", body::none},
        {"silent", "version.json", "CURL error: 28", body::none},
        {"redirect", "2/data/big.bin", nullptr, body::published},
        {"huge", "2/index.json", "CURL error: 63", body::none},
    };
    const std::string run = "single-" + std::to_string(clock_type::now().time_since_epoch().count());
    trees[0].publish(2, test::test_config({trees[0].base_url()}), entries);
    test::temp_dir dir;
    downloader transfer;
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.fault << " on " << r.path);
        // A download that must succeed is given longer, so that a loaded machine keeping the
        // server from sending for a second does not fail it.
        prepare_transfer(transfer, r.error == nullptr ? 3 : low_speed_seconds);
        const std::string published = test::read_file(trees[0].path(r.path));
        const std::uint64_t cap = r.path == std::string("version.json")         ? version_cap
                                  : std::string(r.path).ends_with("index.json") ? index_cap
                                                                                : published.size();
        byte_counting_files files;
        const std::wstring target = dir.wide("download");
        std::string error;
        const bool ok = download_to_file(
            transfer, files, chaos_url(trees[0], "f=" + std::string(r.fault) + ",run=" + run) + r.path,
            target, cap, error);
        EXPECT_EQ(ok, r.error == nullptr) << error;
        if (r.error != nullptr) {
            EXPECT_EQ(error.rfind(r.error, 0), 0U) << error;
        }
        EXPECT_EQ(fs::exists(dir.native("download")), ok) << "a failed download leaves nothing";
        if (ok) {
            EXPECT_EQ(test::read_file(dir.native("download")) == published, r.result == body::published);
        }
        for (const auto& [path, written] : files.most_written())
            EXPECT_LE(written, cap);
        fs::remove(dir.native("download"));
    }
    EXPECT_EQ(served(run).size(), std::size(rows)) << "one request each";
}

} // namespace
} // namespace qz4
