// The room an update needs, counted from sizes alone before anything is fetched, and a run
// that stops with both figures when the game's volume lacks it.
#include "update/engine/disk_space.hpp"
#include "update/engine/file_verification.hpp"

#include "tests/support/http_test_server.hpp"
#include "tests/update/engine/engine_harness.hpp"

#include <gtest/gtest.h>

namespace qz4 {
namespace {

using nlohmann::json;
constexpr std::uint64_t kib = 1024;
// What a counted update needs on top of its files: for these small ones, the margin's floor.
constexpr std::uint64_t fixed = disk_space_margin_floor;
constexpr std::uint64_t slack = allocation_slack_per_file;

TEST(SpaceEstimate, DownloadsAndGrowthOverlapAndTheLargestFilesAreUnpackedBesideTheirOldCopies) {
    struct file {
        std::uint64_t remote, local, replaced;
    };
    struct row {
        const char* what;
        std::vector<file> files;
        std::uint64_t needed;
        std::uint32_t unpacked_at_once = 1;
    };
    const row rows[] = {
        {"nothing counted needs nothing", {}, 0},
        {"a missing file: it grows by more than its download", {{100, 300, 0}}, 300 + 300 + slack + fixed},
        {"a changed file of the same size: its download", {{100, 300, 300}}, 100 + 300 + slack + fixed},
        {"a file that shrinks frees nothing before its rename", {{50, 10, 1000}}, 50 + 10 + slack + fixed},
        {"several: each holds the larger share, the largest is unpacked once",
         {{100, 300, 0}, {400, 500, 450}, {10, 20, 0}},
         300 + 400 + 20 + 500 + 3 * slack + fixed},
        {"two workers: the two largest are unpacked at once",
         {{10, 20, 0}, {100, 300, 0}, {400, 500, 450}},
         300 + 400 + 20 + 500 + 300 + 3 * slack + fixed,
         2},
        {"more workers than files: every file at once",
         {{400, 500, 450}, {10, 20, 0}, {100, 300, 0}},
         300 + 400 + 20 + 500 + 300 + 20 + 3 * slack + fixed,
         8},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        space_estimate estimate(r.unpacked_at_once);
        for (const auto& f : r.files)
            estimate.add(f.remote, f.local, f.replaced);
        EXPECT_EQ(estimate.needed(), r.needed);
        EXPECT_EQ(estimate.empty(), r.files.empty());
        EXPECT_EQ(find_space_shortage(estimate, r.needed).has_value(), false);
        EXPECT_EQ(find_space_shortage(estimate, r.needed - 1).has_value(), !r.files.empty())
            << "an update that fetches nothing runs on a full disk";
    }
}

TEST(SpaceEstimate, TheMarginGrowsWithTheUpdateAndItsIndex) {
    constexpr std::uint64_t mib = 1024 * kib;
    struct row {
        const char* what;
        std::uint64_t counted, entries, margin;
    };
    const row rows[] = {
        {"a tiny update: the floor", 10 * kib, 3, disk_space_margin_floor},
        {"a quarter of what the files take", 8 * mib, 0, 2 * mib},
        {"and a share per index entry, for the documents", 8 * mib, 4096, 3 * mib},
        {"never more than the ceiling", 1024 * mib, 0, disk_space_margin},
        {"however many entries", 0, 1ull << 40, disk_space_margin},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(disk_space_margin_for(r.counted, r.entries), r.margin);
    }
}

TEST(SpaceEstimate, TheBoundWithEveryFileMissingTakesEachEntryWithReadableSizes) {
    const json entries = json::parse(R"([{"l_size": 300, "r_size": 100}, {"l_size": "300", "r_size": 100},
        {"l_size": -1, "r_size": 5}, {"r_size": 5}, 7, {"l_size": 20, "r_size": 40}])");
    EXPECT_EQ(estimate_space_all_missing(entries, 1).needed(), 300 + 40 + 300 + 2 * slack + fixed);
    EXPECT_EQ(estimate_space_all_missing(json::array(), 1).needed(), 0u);

    // Sizes past 32 bits count in full; a sum that would wrap needs more than any disk has.
    constexpr std::uint64_t gib = kib * kib * kib;
    const json large = json::parse(R"([{"l_size": 5368709120, "r_size": 1048576},
        {"l_size": 9223372036854775808, "r_size": 1}])");
    EXPECT_EQ(estimate_space_all_missing(large, 1).needed(), 10 * gib + slack + disk_space_margin);
    const json wrapping = json::parse(R"([{"l_size": 9223372036854775807, "r_size": 9223372036854775807},
        {"l_size": 9223372036854775807, "r_size": 9223372036854775807},
        {"l_size": 9223372036854775807, "r_size": 9223372036854775807}])");
    EXPECT_EQ(estimate_space_all_missing(wrapping, 1).needed(), UINT64_MAX);
    EXPECT_TRUE(find_space_shortage(estimate_space_all_missing(wrapping, 1), UINT64_MAX - 1));
}

TEST(SpaceEstimate, OnlySizesThatSurelyMeanAnUpdateCount) {
    check_rules rules;
    rules.hard_patterns.add_pattern("client\\*.*");
    rules.soft_patterns.add_pattern("config\\*.*");
    rules.accepted[normalize_path(L"C:\\Game\\config\\user.cfg")] = {"eeee"};
    struct row {
        const wchar_t* local_path;
        std::optional<std::uint64_t> size; // of the installed file; the index says 4
        std::int32_t version;
        bool counted;
    };
    const row rows[] = {
        {L"data\\free.bin", std::nullopt, 3, true}, // missing: fetched whatever the patterns say
        {L"data\\free.bin", 9, 3, false},           // no pattern: never compared
        {L"client\\a.exe", 4, 3, false},            // right size: only the digest can tell
        {L"client\\a.exe", 9, 3, true},
        {L"config\\a.cfg", 9, 3, true},
        {L"client\\a.exe", 4ull << 32 | 4, 3, true}, // the index's size in its low 32 bits only
        {L"config\\user.cfg", 9, 3, false},          // an edit the configuration may accept
        {L"config\\user.cfg", 9, 2, true},           // version 2 accepts none
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message()
                     << testing::PrintToString(std::wstring(r.local_path)) << " version " << r.version);
        update_task task;
        task.local_path = r.local_path;
        task.target_path = L"C:\\Game\\" + task.local_path;
        task.local_size = 4;
        EXPECT_EQ(size_shows_update(task, verification_rules{rules, r.version, false}, r.size), r.counted);
    }
}

// One missing file and one of the right size with the wrong content: only the first is
// counted before the run, and a duplicate entry of it not again.
TEST(DiskSpace, ARunWithoutRoomStopsBeforeAnyDownloadAndSaysHowMuchIsNeeded) {
    test::served_tree tree;
    const std::string big = test::random_bytes(64 * kib, 7);
    const std::string same(kib * kib, 'x');
    json entries = json::array({tree.add_file(1, "big.bin", big), tree.add_file(1, "same.bin", same)});
    entries.push_back(entries[0]);
    entries.back()["l"] = "BIG.bin";
    tree.publish(1, test::test_config({tree.base_url()}), entries);
    const std::uint64_t needed = 64 * kib + 64 * kib + slack + fixed; // 200.0 KiB

    struct row {
        const char* what;
        std::optional<std::uint64_t> free;
        const wchar_t* free_text; // when refused
    };
    const row rows[] = {
        {"next to nothing free", kib, L"1.0 KiB"},
        {"one byte short", needed - 1, L"200.0 KiB"},
        {"just enough", needed, nullptr},
        {"far less than the margin of a large update, room for this one", 1024 * kib, nullptr},
        {"room for the whole game: no size asked for", 1ull << 40, nullptr},
        {"the system does not say", std::nullopt, nullptr},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        test::game_install game;
        game.write("same.bin", std::string(same.size(), 'y'));
        test::faulty_files files;
        std::vector<std::wstring> asked;
        files.free_space_is = [&](const std::wstring& directory) {
            asked.push_back(directory);
            return r.free;
        };
        test::recording_splash splash;
        bool restart = false;
        const auto requests_before = tree.requests().size();
        auto launcher = game.launcher({tree.base_url()}, &files);
        EXPECT_TRUE(launcher->run(splash, restart)) << "the game starts on the installed files";
        EXPECT_EQ(asked, std::vector<std::wstring>{launcher->layout.game_dir});
        const auto requests = tree.requests().size() - requests_before;
        if (r.free_text) {
            EXPECT_EQ(launcher->error_text, L"Not enough disk space: the update needs 200.0 KiB, " +
                                                std::wstring(r.free_text) + L" is free on " +
                                                launcher->layout.game_dir + L".");
            EXPECT_EQ(splash.texts().back(),
                      L"Not enough disk space: 200.0 KiB needed, " + std::wstring(r.free_text) + L" free");
            EXPECT_EQ(launcher->notice_before_game, L"Not enough disk space: 200.0 KiB needed, " +
                                                        std::wstring(r.free_text) + L" free\n\nError: " +
                                                        launcher->error_text)
                << "the player is told before the game starts";
            EXPECT_EQ(requests, 2u) << "version.json and the index only";
            EXPECT_EQ(test::downloads_started(files), 0u);
            EXPECT_FALSE(game.exists("big.bin"));
        } else {
            EXPECT_EQ(launcher->error_text, L"");
            EXPECT_EQ(launcher->notice_before_game, L"");
            EXPECT_EQ(game.read("big.bin"), big);
            EXPECT_EQ(game.read("same.bin"), same);
        }
    }
}

// A file past 4 GiB, on a disk with room for its low 32 bits alone: the run stops before it
// fetches anything, with the need in full.
TEST(DiskSpace, AFilePast4GiBCountsInFull) {
    constexpr std::uint64_t gib = kib * kib * kib;
    test::served_tree tree;
    json entry = tree.add_file(1, "world.pak", "a stand-in for five GiB");
    entry["l_size"] = 5 * gib;
    entry["r_size"] = 5 * gib;
    tree.publish(1, test::test_config({tree.base_url()}), json::array({entry}));

    test::game_install game;
    test::faulty_files files;
    files.free_space_is = [&](const std::wstring&) { return std::optional<std::uint64_t>(6 * gib); };
    test::recording_splash splash;
    bool restart = false;
    auto launcher = game.launcher({tree.base_url()}, &files);
    EXPECT_TRUE(launcher->run(splash, restart));
    EXPECT_EQ(splash.texts().back(), L"Not enough disk space: 10.0 GiB needed, 6.0 GiB free");
    EXPECT_EQ(test::downloads_started(files), 0u);
    EXPECT_FALSE(game.exists("world.pak"));
}

} // namespace
} // namespace qz4
