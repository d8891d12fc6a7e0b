// Every transfer ends: a host that drips the documents just fast enough to stay above the
// stall floor is cut at their deadlines, and closing the splash ends a stalled transfer, of a
// document or of a file, at libcurl's next progress call, without a further request.
#include "update/engine/transfer_limits.hpp"

#include "tests/support/http_test_server.hpp"
#include "tests/update/engine/engine_harness.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace qz4 {
namespace {

using nlohmann::json;
using clock_type = std::chrono::steady_clock;
using std::chrono::seconds;

// The index is 400 KiB, dripped at 256 KiB/s: four times the stall floor, yet 1.6 s for the
// whole. Under a cap of 512 KiB at 4 MiB/s and a connection time-out of 1 s its deadline is
// 1.125 s, so each attempt ends at the deadlines of the packed and the plain index; served as
// it is, the same tree is retrieved.
TEST(TransferEnds, DocumentsDrippedAboveTheStallFloorEndAtTheirDeadlines) {
    test::served_tree tree("drip");
    tree.publish(1, test::test_config({tree.base_url()}), json::array(), false);
    const std::string index = test::read_file(tree.path("1/index.json"));
    constexpr std::size_t document_size = 400 * 1024;
    test::write_file(tree.path("1/index.json"), index + std::string(document_size - index.size(), ' '));
    test::write_file(tree.path("1/index.json.lzma2"), test::random_bytes(document_size, 9));
    struct row {
        const char* what;
        std::string host;
        bool retrieved;
    };
    const row rows[] = {
        {"served as it is", tree.base_url(), true},
        {"dripped", test::routed_url(tree, "_/rate/262144/"), false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        test::game_install game;
        auto launcher = game.launcher({r.host});
        launcher->retrieval_timeout = 1;
        launcher->max_attempts = 2;
        launcher->documents.index_cap = 512 * 1024;
        launcher->documents.floor_rate = 4 * 1024 * 1024;
        const document_limits& limits = launcher->documents;
        const seconds connect(launcher->retrieval_timeout);
        const auto attempt_bound = document_deadline(limits.version_cap, limits.floor_rate, connect) +
                                   2 * document_deadline(limits.index_cap, limits.floor_rate, connect);
        ASSERT_LT(attempt_bound, std::chrono::milliseconds(3400));

        test::recording_splash splash;
        json retrieved;
        std::uint32_t number = 0;
        std::uint32_t host = 0;
        const auto started = clock_type::now();
        EXPECT_EQ(launcher->fetch_index(retrieved, number, host, splash), r.retrieved);
        const auto took = clock_type::now() - started;
        EXPECT_EQ(game.pauses().size(), r.retrieved ? 0u : 1u);
        // The pauses are recorded, not waited; a second covers the launcher's own work.
        EXPECT_LT(took, launcher->max_attempts * attempt_bound + seconds(1));
    }
}

// Waits until the server's chaos log of `run` shows `path` stalled, or the run has ended, or
// half a minute has passed; true for the first.
bool wait_for_stall(const std::string& run, const std::string& path, const std::atomic<bool>& ended) {
    const auto give_up = clock_type::now() + seconds(30);
    while (!ended && clock_type::now() < give_up) {
        // "<fault> <the path below the server's root>"
        for (const std::string& line : test::server_log("_/chaos-log/" + run))
            if (line.starts_with("stall ") && line.ends_with("/" + path))
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // between looks at the log
    }
    return false;
}

// The transfer gets its headers and then nothing; time-outs of a minute keep the stall floor and
// the deadlines out of the way. libcurl calls the progress function about once a second while
// no byte comes, and the first call after the close ends the transfer.
TEST(TransferEnds, ClosingTheSplashEndsAStalledTransferAtTheNextProgressCall) {
    const std::string nonce = std::to_string(clock_type::now().time_since_epoch().count());
    struct row {
        const char* what;
        bool documents_stall; // otherwise the files do
        const char* stalled_path;
        const wchar_t* error;
    };
    const row rows[] = {
        {"a document", true, "version.json", L"Could not download update index."},
        {"a file", false, "1/big.bin", L"Cancelled by user"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string name = "stall-" + std::to_string(&r - rows);
        const std::string run = nonce + "-" + name;
        test::served_tree tree(name);
        const std::string stalling = test::routed_url(tree, "_/chaos/f=stall,run=" + run + "/");
        // The index's host list is what the downloads use.
        tree.publish(1, test::test_config({stalling}),
                     json::array({tree.add_file(1, "big.bin", test::random_bytes(300000, 5))}));
        test::game_install game;
        auto launcher = game.launcher({r.documents_stall ? stalling : tree.base_url()});
        launcher->retrieval_timeout = 60;
        launcher->transfer_timeout = 60;

        test::recording_splash splash;
        bool restart = false;
        bool result = false;
        std::atomic<bool> ended{false};
        std::thread running([&] {
            result = launcher->run(splash, restart);
            ended = true;
        });
        EXPECT_TRUE(wait_for_stall(run, r.stalled_path, ended));
        splash.close();
        const auto closed = clock_type::now();
        running.join();
        EXPECT_LT(clock_type::now() - closed, seconds(5));
        EXPECT_TRUE(result);
        EXPECT_EQ(launcher->error_text, r.error);
        EXPECT_EQ(test::server_log("_/chaos-log/" + run).size(), 1u) << "nothing is asked after the cancel";
        EXPECT_TRUE(game.pauses().empty());
        EXPECT_TRUE(launcher->download_errors().empty());
    }
}

} // namespace
} // namespace qz4
