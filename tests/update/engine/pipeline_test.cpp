// Update passes against the HTTP test server: verification, the download and unpack stages,
// their failure limits, faults of the file system, failover, and cancelling at each stage.
#include "common/encoding.hpp"
#include "common/lzma2_codec.hpp"
#include "common/sha1.hpp"
#include "update/documents/json_document.hpp"
#include "update/engine/pass_state.hpp"
#include "update/engine/transfer_limits.hpp"
#include "update/engine/unpack_stage.hpp"

#include "tests/support/http_test_server.hpp"
#include "tests/support/system_probe.hpp"
#include "tests/update/engine/engine_harness.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace qz4 {
namespace {

using nlohmann::json;
using strings = std::vector<std::string>;
namespace fs = std::filesystem;

const std::string guid = test::test_product_guid;

std::size_t downloads(const test::faulty_files& files) {
    return test::downloads_started(files);
}

class Pipeline : public testing::Test {
protected:
    bool run(const std::vector<std::string>& hosts) {
        launcher = game.launcher(hosts, &files);
        launcher->connections = connections;
        return launcher->run(splash, restart);
    }
    bool run() { return run({tree.base_url()}); }
    // The counts of attempts and failures below are those of one file after another; with
    // several transfers at once the files in flight when a limit is reached add theirs, and
    // files arrive in another order.
    void one_at_a_time() { connections = 1; }
    void publish(const json& entries, std::uint32_t n = 1) {
        tree.publish(n, test::test_config({tree.base_url()}), entries);
    }
    // The line that names a plain download the disk would not rename into place.
    [[nodiscard]] std::wstring refused_rename(const std::string& name) const {
        return L"\nRename failed: " + game.dir().wide(".temp/" + guid + "/downloading/" + name + ".temp") +
               L" -> " + game.dir().wide(name);
    }
    // Nothing of the engine's own is left beside the client files, nor in the download area.
    void expect_no_leftovers() const {
        for (const auto& [relative, content] : game.client_files()) {
            EXPECT_FALSE(relative.ends_with(".unp")) << relative;
            EXPECT_FALSE(relative.rfind("new-", 0) == 0) << relative;
        }
        const auto area = game.dir().native(".temp/" + guid + "/downloading");
        if (!fs::exists(area))
            return;
        for (const auto& entry : fs::recursive_directory_iterator(area))
            EXPECT_FALSE(entry.is_regular_file()) << entry.path();
    }

    test::served_tree tree;
    test::game_install game;
    test::recording_splash splash;
    test::faulty_files files;
    std::unique_ptr<game_launcher> launcher;
    std::uint32_t connections = default_connections;
    bool restart = false;
};

TEST_F(Pipeline, AnEmptyDirectoryIsInstalledAndARerunDownloadsNothing) {
    const std::string text(200 * 1024, 'x');
    const std::map<std::string, std::string> client = {
        {"client/Client.exe", test::random_bytes(70000, 1)},
        {"client/data/packed.txt", text},
        {"client/with space.dat", "spaced"},
        {"client/Привет.txt", "non-ASCII name"},
        {"config/empty.cfg", ""},
    };
    json entries = json::array();
    for (const auto& [path, content] : client) {
        std::string local = path;
        std::replace(local.begin(), local.end(), '/', '\\');
        entries.push_back(tree.add_file(1, local, content, path == "client/data/packed.txt"));
    }
    publish(entries);

    ASSERT_TRUE(run());
    EXPECT_EQ(launcher->error_text, L"");
    std::map<std::string, std::string> expected = client;
    expected["launcher.exe"] = "the running launcher";
    EXPECT_TRUE(test::same_files(game.client_files(), expected));
    EXPECT_EQ(splash.texts().front(), L"Connecting to update server... ");
    EXPECT_EQ(splash.count(L"Checking game files... "), 1u);
    EXPECT_EQ(splash.count(L"Checking files"), client.size());
    EXPECT_EQ(splash.texts().back(), L"Files updated");
    EXPECT_EQ(downloads(files), client.size());
    EXPECT_TRUE(game.exists(".temp/" + guid + "/cache.json"));
    EXPECT_TRUE(game.exists(".temp/" + guid + "/config.json"));
    EXPECT_FALSE(game.exists(".temp/" + guid + "/downloading")) << "removed after a successful run";
    expect_no_leftovers();

    const auto asked = tree.requests().size();
    test::faulty_files again;
    launcher = game.launcher({tree.base_url()}, &again);
    ASSERT_TRUE(launcher->run(splash, restart));
    EXPECT_EQ(downloads(again), 0u);
    EXPECT_EQ(tree.requests().size(), asked + 1) << "version.json only: the index held is current";
}

TEST_F(Pipeline, TheDownloadShowsThePassPercentageOnceTheCheckHasFinished) {
    json entries = json::array({tree.add_file(1, "big.bin", test::random_bytes(300 * 1024, 2))});
    entries[0]["r"] = entries[0]["r"].get<std::string>() + "?rate=600000";
    publish(entries);
    ASSERT_TRUE(run());
    EXPECT_TRUE(splash.saw_prefix(L"Downloading updates (")) << "the transfer takes half a second";
    EXPECT_EQ(splash.count(L"Downloading updates (100%)"), 1u);
    EXPECT_EQ(splash.highest_progress_total(), 550u);
    EXPECT_EQ(splash.texts().back(), L"Files updated");
}

// Each missing file is answered late, so that the check has queued every file before the
// first failure and the order of the attempts is the same on every run.
json missing_file(test::served_tree& tree, const std::string& name) {
    json entry = tree.add_file(1, name, name);
    fs::remove(tree.path("1/" + name));
    entry["r"] = entry["r"].get<std::string>() + "?delay=150";
    return entry;
}

TEST_F(Pipeline, AFileTheServerLacksGetsFourAttemptsAndOneEntry) {
    one_at_a_time();
    json entries = json::array({missing_file(tree, "missing.dat")});
    entries.push_back(tree.add_file(1, "one.dat", "1"));
    entries.push_back(tree.add_file(1, "two.dat", "2"));
    publish(entries);
    EXPECT_TRUE(run());
    EXPECT_EQ(launcher->error_text, L"Failed to download 4 files\nFile: missing.dat (CURL error: 22)");
    EXPECT_EQ(splash.texts().back(), L"Download failed for 4 files");
    const auto asked = tree.requests();
    EXPECT_EQ(std::count(asked.begin(), asked.end(), "1/missing.dat?delay=150"), 4);
    EXPECT_EQ(game.read("one.dat"), "1");
    EXPECT_EQ(game.read("two.dat"), "2");
}

TEST_F(Pipeline, ThreeFailuresInARowStopTheStage) {
    one_at_a_time();
    json entries = json::array();
    for (const char* name : {"x.dat", "y.dat", "z.dat"}) {
        entries.push_back(tree.add_file(1, name, name));
        fs::remove(tree.path(std::string("1/") + name));
    }
    entries.push_back(tree.add_file(1, "w.dat", "w"));
    publish(entries);
    EXPECT_TRUE(run());
    EXPECT_EQ(launcher->error_text, L"Failed to download 3 files") << "no file used up its retries";
    const auto asked = tree.requests();
    EXPECT_EQ(std::count(asked.begin(), asked.end(), "1/w.dat"), 0);
}

TEST_F(Pipeline, TenFailuresStopThePass) {
    one_at_a_time();
    json entries = json::array();
    // Eight failures each followed by a success, then two retries in a row.
    for (int i = 0; i < 8; ++i) {
        entries.push_back(missing_file(tree, "missing" + std::to_string(i) + ".dat"));
        entries.push_back(tree.add_file(1, "good" + std::to_string(i) + ".dat", "good"));
    }
    publish(entries);
    EXPECT_TRUE(run());
    EXPECT_EQ(launcher->error_text, L"Failed to download 10 files");
}

// The system's operations, watching how many downloads are being written at once.
class concurrency_watch final : public test::system_files {
public:
    std::unique_ptr<output_file> create_file(const std::wstring& path, std::uint32_t& error) override {
        return watched(path, system_files::create_file(path, error));
    }
    std::unique_ptr<output_file> continue_file(const std::wstring& path, std::uint64_t length,
                                               std::uint32_t& error) override {
        return watched(path, system_files::continue_file(path, length, error));
    }

    std::atomic<int> open{0};
    std::atomic<int> most{0};

private:
    class open_download final : public output_file {
    public:
        open_download(std::unique_ptr<output_file> inner, concurrency_watch& owner)
            : inner_(std::move(inner)), owner_(owner) {
            const int now = ++owner_.open;
            for (int most = owner_.most; now > most && !owner_.most.compare_exchange_weak(most, now);) {
            }
        }
        ~open_download() override { --owner_.open; }
        open_download(const open_download&) = delete;
        open_download& operator=(const open_download&) = delete;
        bool write(const void* data, std::size_t size) override { return inner_->write(data, size); }
        bool finish() override { return inner_->finish(); }

    private:
        std::unique_ptr<output_file> inner_;
        concurrency_watch& owner_;
    };

    std::unique_ptr<output_file> watched(const std::wstring& path, std::unique_ptr<output_file> file) {
        if (!file || path.find(L"\\downloading\\") == std::wstring::npos)
            return file;
        return std::make_unique<open_download>(std::move(file), *this);
    }
};

TEST_F(Pipeline, UpToTheSettingOfTransfersRunAtOnce) {
    json entries = json::array();
    std::map<std::string, std::string> expected;
    for (int i = 0; i < 8; ++i) {
        const std::string name = "slow" + std::to_string(i) + ".dat";
        expected[name] = test::random_bytes(3000, static_cast<std::uint32_t>(i));
        entries.push_back(tree.add_file(1, name, expected[name]));
        // Slowly delivered, so that the transfers overlap however the threads are scheduled.
        entries.back()["r"] = entries.back()["r"].get<std::string>() + "?rate=12000&chunk=1000";
    }
    publish(entries);
    struct row {
        std::uint32_t connections;
        std::uint64_t max_rate;
        int most; // at once
    };
    // A cap that cannot keep four transfers above the lowest stall floor runs one.
    for (const row r : {row{1, 0, 1}, row{2, 0, 2}, row{4, 0, 4}, row{4, 48 * 1024, 1}}) {
        SCOPED_TRACE(testing::Message() << r.connections << " connections, cap " << r.max_rate);
        test::game_install install;
        concurrency_watch watch;
        auto engine = install.launcher({tree.base_url()}, &watch);
        engine->connections = r.connections;
        engine->max_rate = r.max_rate;
        EXPECT_TRUE(engine->run(splash, restart));
        EXPECT_EQ(engine->error_text, L"");
        EXPECT_TRUE(test::same_files(install.client_files(), [&] {
            auto all = expected;
            all["launcher.exe"] = install.read("launcher.exe");
            return all;
        }()));
        EXPECT_LE(watch.most, r.most);
        EXPECT_GE(watch.most, r.most == 1 ? 1 : 2);
    }
}

// With several transfers the limits still end the stage; the transfers in flight when a limit
// is reached end theirs, so the count may pass the limit by one less than the transfers. (Which
// limit comes first depends on the order in which transfers finish once successes and failures
// mix, so only files that all fail are used here.)
TEST_F(Pipeline, TheConsecutiveLimitEndsTheStageWithSeveralTransfers) {
    constexpr int missing = 8;
    json entries = json::array();
    for (int i = 0; i < missing; ++i)
        entries.push_back(missing_file(tree, "missing" + std::to_string(i) + ".dat"));
    publish(entries);
    ASSERT_TRUE(run());
    ASSERT_EQ(launcher->connections, default_connections);
    const std::wstring prefix = L"Failed to download ";
    ASSERT_EQ(launcher->error_text.rfind(prefix, 0), 0u) << wide_to_utf8(launcher->error_text);
    const auto failures = std::stoul(launcher->error_text.substr(prefix.size()));
    EXPECT_GE(failures, consecutive_limit);
    EXPECT_LE(failures, consecutive_limit + default_connections - 1);
    EXPECT_EQ(tree.requests().size(), 2 + failures) << "the documents, then one request per failure";
}

// However fast the server, the transfers together take the bytes no faster than the cap,
// less the one burst it allows.
TEST_F(Pipeline, ABandwidthCapHoldsTheTransfersTogetherAtTheRate) {
    constexpr std::uint64_t rate = 512 * 1024;
    json entries = json::array();
    for (int i = 0; i < 4; ++i)
        entries.push_back(tree.add_file(1, "capped" + std::to_string(i) + ".bin",
                                        test::random_bytes(512 * 1024, static_cast<std::uint32_t>(i))));
    publish(entries);
    game.pauses_take_time = true;
    launcher = game.launcher({tree.base_url()}, &files);
    launcher->max_rate = rate;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(launcher->run(splash, restart));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(launcher->error_text, L"");
    EXPECT_GE(took, std::chrono::milliseconds(3000)) << "2 MiB at 512 KiB/s, less a burst of 128 KiB";
}

TEST_F(Pipeline, APackedFileThatWillNotUnpackLeavesTheInstalledFile) {
    one_at_a_time(); // the files are named in the order they arrive
    game.write("data/x.bin", "installed");
    json entries = json::array({tree.add_file(1, "data\\x.bin", test::random_bytes(50000, 5), true)});
    // Damage the stream behind the header, and publish the damaged copy's digest, so that
    // the download checks out and the unpacking fails.
    std::string packed = test::read_file(tree.path("1/data/x.bin.lzma2"));
    for (std::size_t i = 40; i < packed.size(); i += 7)
        packed[i] = static_cast<char>(~packed[i]);
    test::write_file(tree.path("1/data/x.bin.lzma2"), packed);
    entries[0]["r_sha1"] = sha1_text(packed);
    // And one whose header declares another size than the index gives.
    entries.push_back(tree.add_file(1, "data\\y.bin", std::string(30000, 'y'), true));
    entries[1]["l_size"] = 29999;
    publish(entries);

    EXPECT_TRUE(run());
    EXPECT_EQ(launcher->error_text, L"Failed to unpack 2 files\nFile: data\\x.bin\nFile: data\\y.bin");
    EXPECT_EQ(splash.texts().back(), L"Unpack failed for 2 files");
    EXPECT_EQ(game.read("data/x.bin"), "installed");
    EXPECT_FALSE(game.exists("data/y.bin"));
    expect_no_leftovers();
}

TEST_F(Pipeline, ARefusedRenameIsRetriedThenReported) {
    game.write("locked.dat", "in use");
    publish(
        json::array({tree.add_file(1, "locked.dat", "new content"), tree.add_file(1, "free.dat", "free")}));
    std::atomic<int> refused{0};
    files.refuse_move = [&](const std::wstring&, const std::wstring& to) {
        const bool refuse = test::ends_with_path(to, L"\\locked.dat");
        refused += refuse;
        return refuse;
    };
    EXPECT_TRUE(run());
    EXPECT_EQ(refused, 4);
    EXPECT_EQ(launcher->error_text,
              L"Failed to unpack 1 files\nFile: locked.dat" + refused_rename("locked.dat"));
    EXPECT_EQ(game.read("locked.dat"), "in use");
    EXPECT_EQ(game.read("free.dat"), "free");
    expect_no_leftovers();
}

TEST_F(Pipeline, AFileHeldOpenByAnotherProgramCannotBeReplacedWindows) {
    if (const auto reason = test::windows_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    game.write("locked.dat", "in use");
    publish(json::array({tree.add_file(1, "locked.dat", "new content")}));
    test::held_file held(game.dir().wide("locked.dat"), test::held_file::access::write_sharing_read_write);
    ASSERT_TRUE(held.is_open());
    EXPECT_TRUE(run());
    EXPECT_EQ(launcher->error_text,
              L"Failed to unpack 1 files\nFile: locked.dat" + refused_rename("locked.dat"));
    held.close();
    EXPECT_EQ(game.read("locked.dat"), "in use");
}

TEST_F(Pipeline, AFullDiskLeavesTheOldFileAndNoPartialOne) {
    struct row {
        const char* what;
        const wchar_t* full_on; // what the writes that fill the disk end with
        const wchar_t* error;
        const char* written; // the file that did not fit, below the game
    };
    const row rows[] = {
        // The only file of the pass: three failures in a row end the stage before a fourth.
        {"downloading", L"data.bin.lzma2", L"Failed to download 3 files",
         ".temp/7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97/downloading/data.bin.lzma2"},
        {"unpacking", L".unp", L"Failed to unpack 1 files\nFile: data.bin", "data.bin.unp"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        test::game_install install;
        install.write("data.bin", "old");
        test::served_tree served(std::string("full-") + r.what);
        served.publish(1, test::test_config({served.base_url()}),
                       json::array({served.add_file(1, "data.bin", test::random_bytes(100000, 3), true)}));
        test::faulty_files full;
        const std::wstring suffix = r.full_on;
        full.disk_full_after = [suffix](const std::wstring& path) -> std::optional<std::uint64_t> {
            if (test::ends_with_path(path, suffix))
                return 1000;
            return std::nullopt;
        };
        auto engine = install.launcher({served.base_url()}, &full);
        EXPECT_TRUE(engine->run(splash, restart));
        EXPECT_EQ(engine->error_text, r.error + (L"\nWrite failed: " + install.dir().wide(r.written)));
        EXPECT_EQ(install.read("data.bin"), "old");
        EXPECT_FALSE(install.exists("data.bin.unp"));
        EXPECT_FALSE(install.exists(".temp/" + guid + "/downloading/data.bin.lzma2"));
    }
}

TEST_F(Pipeline, MoreThanTheIndexAnnouncesIsRefused) {
    struct row {
        const char* what;
        const char* query;
        const wchar_t* entry;
    };
    const row rows[] = {
        {"refused on its Content-Length", "?delay=150", L"big.dat (CURL error: 63)"},
        {"stopped at the limit", "?delay=150&framing=chunked", L"big.dat (Too large: more than 10 bytes)"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        test::served_tree served(std::string("size-") + std::to_string(&r - rows));
        // Two successes after the first failure keep the stage going to the fourth attempt.
        json entries = json::array({served.add_file(1, "big.dat", std::string(5000, 'a')),
                                    served.add_file(1, "one.dat", "1"), served.add_file(1, "two.dat", "2")});
        entries[0]["r_size"] = 10;
        entries[0]["r"] = entries[0]["r"].get<std::string>() + r.query;
        served.publish(1, test::test_config({served.base_url()}), entries);
        test::game_install install;
        auto engine = install.launcher({served.base_url()}, &files);
        engine->connections = 1;
        EXPECT_TRUE(engine->run(splash, restart));
        EXPECT_EQ(engine->download_errors(), std::vector<std::wstring>{r.entry});
        EXPECT_FALSE(install.exists("big.dat"));
        EXPECT_FALSE(install.exists(".temp/" + guid + "/downloading/big.dat.temp"));
    }
}

TEST_F(Pipeline, ASecondPassOnTheNextHostAfterAFailedOne) {
    test::served_tree second("b");
    json entries =
        json::array({second.add_file(1, "a.dat", "from b"), second.add_file(1, "b.dat", "also b")});
    const json config = test::test_config({tree.base_url(), second.base_url()});
    tree.publish(1, config, entries); // the first host has the index but not the files
    second.publish(1, config, entries);
    int asked = 0;
    launcher = game.launcher({tree.base_url(), second.base_url()}, &files);
    launcher->close_instances = [&] {
        ++asked;
        return true;
    };
    ASSERT_TRUE(launcher->run(splash, restart));
    EXPECT_EQ(launcher->error_text, L"");
    EXPECT_EQ(game.read("a.dat"), "from b");
    EXPECT_EQ(asked, 2) << "once per pass";
    EXPECT_EQ(splash.count(L"Checking game files... "), 2u);
    EXPECT_EQ(splash.texts().back(), L"Files updated");
}

// A later pass's retrieval rotates over the whole host list and may come back to a host
// that failed already, and each index may bring a host list of its own: the run still ends,
// every host serving at most one pass, and the game starts on what was installed.
TEST_F(Pipeline, EachHostServesAtMostOnePassAndTheRunEnds) {
    const std::string dead = test::http_server().refused_url;
    struct host {
        std::string name;
        std::vector<std::string> lists; // the hosts its index names, by name ("dead" for the dead one)
    };
    struct row {
        const char* what;
        std::vector<std::string> built_in;
        std::vector<host> hosts;
        std::size_t passes;
    };
    const std::vector<row> rows = {
        {"a dead fallback and a file missing on the primary", {"a", "dead"}, {{"a", {"a", "dead"}}}, 2},
        {"a primary whose list is shorter than the built-in one",
         {"a", "b"},
         {{"a", {"a"}}, {"b", {"a"}}},
         1},
        {"mirrors naming longer lists each",
         {"a"},
         {{"a", {"a", "b"}}, {"b", {"b", "c", "a"}}, {"c", {"c"}}},
         2},
        {"ten mirrors, all missing the file",
         {"m0"},
         [] {
             std::vector<host> many;
             std::vector<std::string> names;
             for (int i = 0; i < 10; ++i)
                 names.push_back("m" + std::to_string(i));
             for (const auto& name : names)
                 many.push_back({name, names});
             return many;
         }(),
         8},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        std::map<std::string, std::unique_ptr<test::served_tree>> trees;
        for (const auto& h : r.hosts)
            trees[h.name] = std::make_unique<test::served_tree>(h.name);
        const auto url = [&](const std::string& name) {
            return name == "dead" ? dead : trees.at(name)->base_url();
        };
        for (const auto& h : r.hosts) {
            test::served_tree& tree_of_host = *trees.at(h.name);
            json entries = json::array({tree_of_host.add_file(1, "here.dat", "here")});
            json missing = tree_of_host.add_file(1, "missing.dat", "gone");
            fs::remove(tree_of_host.path(missing["r"].get<std::string>()));
            entries.push_back(missing);
            std::vector<std::string> listed;
            for (const auto& name : h.lists)
                listed.push_back(url(name));
            tree_of_host.publish(1, test::test_config(listed), entries);
        }
        std::vector<std::string> built_in;
        for (const auto& name : r.built_in)
            built_in.push_back(url(name));
        test::game_install install;
        test::recording_splash watched;
        bool restarted = false;
        auto runner = install.launcher(built_in, nullptr);
        EXPECT_TRUE(runner->run(watched, restarted)) << "the game starts on what was installed";
        EXPECT_EQ(watched.count(L"Checking game files... "), r.passes);
        EXPECT_TRUE(runner->error_text.starts_with(L"Failed to download"))
            << wide_to_utf8(runner->error_text);
        EXPECT_EQ(install.read("here.dat"), "here");
        for (const auto& [name, tree_of_host] : trees) {
            std::size_t fetched = 0;
            for (const auto& request : tree_of_host->requests())
                fetched += request.find("missing.dat") != std::string::npos;
            EXPECT_LE(fetched, 4u) << name << " is asked for the missing file in one pass at most";
        }
    }
}

// A run marks that it unpacks before its first unpacked copy exists, and a run that was cut
// while the mark stood has its leftovers deleted at the next start; a client file that bears
// such a name is the game's own. A clean run takes the mark away.
TEST_F(Pipeline, AnUnpackedCopyLeftByACutRunIsDeletedAndAClientFileNamedLikeOneIsKept) {
    const std::string marker = ".temp/" + guid + "/unpacking.json";
    publish(json::array({tree.add_file(1, "x.dat", "x"), tree.add_file(1, "x.dat.unp", "a file of the game"),
                         tree.add_file(1, "y.dat", std::string(4096, 'y'), true)}));
    std::vector<bool> marked_when_unpacking;
    files.refuse_create = [&](const std::wstring& path) -> std::optional<std::uint32_t> {
        if (path.ends_with(L"y.dat.unp"))
            marked_when_unpacking.push_back(game.exists(marker));
        return std::nullopt;
    };
    ASSERT_TRUE(run());
    EXPECT_EQ(marked_when_unpacking, std::vector<bool>{true});
    EXPECT_FALSE(game.exists(marker));
    ASSERT_EQ(game.read("x.dat.unp"), "a file of the game");
    ASSERT_EQ(game.read("y.dat"), std::string(4096, 'y'));

    game.write("y.dat.unp", "left by a cut run");
    game.write(marker, "{}");
    const std::size_t before = downloads(files);
    ASSERT_TRUE(run());
    EXPECT_EQ(downloads(files), before) << "nothing is fetched again";
    EXPECT_EQ(game.read("x.dat.unp"), "a file of the game");
    EXPECT_FALSE(game.exists("y.dat.unp"));
    EXPECT_FALSE(game.exists(marker));
}

TEST_F(Pipeline, DecliningToCloseTheGameQueuesNothing) {
    game.write("a.dat", "old");
    publish(json::array({tree.add_file(1, "a.dat", "new"), tree.add_file(1, "b.dat", "b")}));
    launcher = game.launcher({tree.base_url()}, &files);
    int asked = 0;
    launcher->close_instances = [&] {
        ++asked;
        return false;
    };
    EXPECT_TRUE(launcher->run(splash, restart));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(launcher->error_text, L"Cancelled by user");
    EXPECT_EQ(downloads(files), 0u);
    EXPECT_EQ(game.read("a.dat"), "old");
    EXPECT_FALSE(splash.is_closed());
}

TEST_F(Pipeline, ClosingTheSplashStopsEveryStage) {
    json entries = json::array();
    for (const char* name : {"first.dat", "second.dat", "third.dat", "fourth.dat", "fifth.dat"})
        entries.push_back(tree.add_file(1, name, name));
    json slow = tree.add_file(1, "slow.bin", test::random_bytes(400 * 1024, 4));
    slow["r"] = slow["r"].get<std::string>() + "?rate=100000";
    struct row {
        const char* what;
        json files;
        std::function<void(test::recording_splash&, test::faulty_files&)> arrange;
    };
    const row rows[] = {
        {"during the check", entries,
         [](test::recording_splash& s, test::faulty_files&) {
             s.close_when = [](const std::wstring& text) { return text == L"Checking files"; };
         }},
        {"during a transfer", json::array({slow}),
         [](test::recording_splash& s, test::faulty_files&) {
             s.close_when = [](const std::wstring& text) {
                 return text.rfind(L"Downloading updates", 0) == 0;
             };
         }},
        {"during unpacking", entries,
         [](test::recording_splash& s, test::faulty_files& f) {
             // The files arrive in any order from the transfers; whichever comes first closes
             // the splash and is installed, as is what the other workers hold by then.
             f.refuse_move = [&s](const std::wstring&, const std::wstring& to) {
                 if (test::ends_with_path(to, L".dat"))
                     s.close();
                 return false;
             };
         }},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        test::game_install install;
        test::served_tree served(std::string("close-") + std::to_string(&r - rows));
        for (const auto& entry : r.files) {
            const std::string r_path = entry["r"].get<std::string>();
            const std::string file = r_path.substr(0, r_path.find('?'));
            fs::create_directories(served.path(file).parent_path());
            fs::copy_file(tree.path(file), served.path(file), fs::copy_options::overwrite_existing);
        }
        served.publish(1, test::test_config({served.base_url()}), r.files);
        test::recording_splash closing;
        test::faulty_files watched;
        r.arrange(closing, watched);
        auto engine = install.launcher({served.base_url()}, &watched);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_TRUE(engine->run(closing, restart));
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3))
            << "the 4 s transfer is cut";
        EXPECT_EQ(engine->error_text, L"Cancelled by user");
        std::uint32_t installed = 0;
        for (const auto& entry : r.files)
            installed += install.exists(entry["l"].get<std::string>()) ? 1 : 0;
        EXPECT_LE(installed, plan_unpack_workers(default_connections, std::thread::hardware_concurrency()));
        EXPECT_LT(installed, r.files.size());
    }
}

TEST_F(Pipeline, HostileEntriesWriteNothingOutsideTheGameAndTheRestIsInstalled) {
    const fs::path outside =
        game.dir().path().parent_path() / ("canary-" + game.dir().path().filename().string());
    json entries = json::array();
    for (const std::string& l :
         strings{"..\\" + outside.filename().string(), "/tmp/x.dat", "C:\\x.dat", "\\\\server\\x.dat",
                 "a\\..\\..\\x.dat", ".temp\\" + guid + "\\cache.json", "NUL.dat", "ok.dat"}) {
        json entry = tree.add_file(1, "ok.dat", "fine");
        entry["l"] = l;
        entries.push_back(entry);
    }
    // Two entries for one file: the second is not fetched beside the first.
    entries.push_back(entries.back());
    entries.back()["l"] = "OK.dat";
    publish(entries);
    ASSERT_TRUE(run());
    EXPECT_EQ(launcher->error_text, L"");
    EXPECT_EQ(game.read("ok.dat"), "fine");
    EXPECT_FALSE(fs::exists(outside));
    EXPECT_EQ(downloads(files), 1u);
    EXPECT_NE(game.read(".temp/" + guid + "/cache.json"), "fine");
}

TEST_F(Pipeline, SoftCheckedFilesTrustTheirStampWithinOneUpdate) {
    json entries = json::array({tree.add_file(1, "config\\user.cfg", "published")});
    tree.publish(1, test::test_config({tree.base_url()}, {}, {"config\\*.*"}), entries);
    ASSERT_TRUE(run());
    // A whole-second write time survives being set again on every file system.
    const fs::path cfg = game.dir().native("config/user.cfg");
    const auto stamp =
        std::chrono::floor<std::chrono::seconds>(fs::last_write_time(cfg)) - std::chrono::hours(1);
    fs::last_write_time(cfg, stamp);
    ASSERT_TRUE(run()) << "hashed once more and stamped anew";
    // A player's edit that keeps size and stamp is not seen within the same update...
    game.write("config/user.cfg", "PUBLISHED");
    fs::last_write_time(cfg, stamp);
    ASSERT_TRUE(run());
    EXPECT_EQ(game.read("config/user.cfg"), "PUBLISHED");
    // ...and is replaced once a new update is announced.
    tree.publish(2, test::test_config({tree.base_url()}, {}, {"config\\*.*"}), entries);
    ASSERT_TRUE(run());
    EXPECT_EQ(game.read("config/user.cfg"), "published");
}

TEST_F(Pipeline, AnAcceptedEditIsKeptFromVersionThree) {
    game.write("config/user.cfg", "the player's own");
    json config = test::test_config({tree.base_url()}, {"config\\*.*"});
    config["check"]["acceptable_checksums"] =
        json::array({{{"file", "config\\user.cfg"}, {"checksums", {sha1_text("the player's own")}}}});
    const json entries = json::array({tree.add_file(1, "config\\user.cfg", "published")});
    tree.publish(1, config, entries);
    ASSERT_TRUE(run());
    EXPECT_EQ(game.read("config/user.cfg"), "the player's own");
    config["version"] = 2;
    tree.publish(2, config, entries);
    ASSERT_TRUE(run());
    EXPECT_EQ(game.read("config/user.cfg"), "published") << "version 2 accepts no edits";
}

TEST_F(Pipeline, ProgramsBecomeExecutablePosix) {
    if (const auto reason = test::posix_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    publish(json::array({tree.add_file(1, "client\\start.sh", "#!/bin/sh\necho hi\n"),
                         tree.add_file(1, "client\\game",
                                       std::string("\x7F"
                                                   "ELF") +
                                           std::string(40000, '\0'),
                                       true),
                         tree.add_file(1, "client\\readme.txt", "just text")}));
    ASSERT_TRUE(run());
    const auto executable = [&](const std::string& relative) {
        return (fs::status(game.dir().native(relative)).permissions() & fs::perms::owner_exec) !=
               fs::perms::none;
    };
    EXPECT_TRUE(executable("client/start.sh"));
    EXPECT_TRUE(executable("client/game"));
    EXPECT_FALSE(executable("client/readme.txt"));
}

} // namespace
} // namespace qz4
