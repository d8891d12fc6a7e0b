// "-repair": a file the player damaged behind a stamp the cache still vouches for is found
// and replaced, while files no pattern names and accepted edits stay the player's, and the
// cache is rebuilt from what the run finds.
#include "common/sha1.hpp"

#include "tests/support/http_test_server.hpp"
#include "tests/update/engine/engine_harness.hpp"

#include <gtest/gtest.h>

namespace qz4 {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

const std::string cache_path = ".temp/" + std::string(test::test_product_guid) + "/cache.json";

class Repair : public testing::Test {
protected:
    bool run(bool repair, test::faulty_files* table = nullptr) {
        launcher = game.launcher({tree.base_url()}, table);
        launcher->repair = repair;
        return launcher->run(splash, restart);
    }
    [[nodiscard]] json cache() const { return json::parse(game.read(cache_path)); }

    test::served_tree tree;
    test::game_install game;
    test::recording_splash splash;
    std::unique_ptr<game_launcher> launcher;
    bool restart = false;
};

TEST_F(Repair, ADamagedFileBehindAnUnchangedStampIsReplacedOnlyByARepair) {
    game.write("config/user.cfg", "the player's own");
    json config = test::test_config({tree.base_url()}, {}, {"config\\*.*"});
    config["check"]["acceptable_checksums"] =
        json::array({{{"file", "config\\user.cfg"}, {"checksums", {sha1_text("the player's own")}}}});
    tree.publish(1, config,
                 json::array({tree.add_file(1, "config\\game.cfg", "published"),
                              tree.add_file(1, "config\\user.cfg", "published"),
                              tree.add_file(1, "data\\notes.txt", "no pattern names this")}));
    ASSERT_TRUE(run(false));
    // A whole-second write time survives being set again on every file system; the rerun
    // records it.
    const fs::path cfg = game.dir().native("config/game.cfg");
    const auto stamp =
        std::chrono::floor<std::chrono::seconds>(fs::last_write_time(cfg)) - std::chrono::hours(1);
    fs::last_write_time(cfg, stamp);
    ASSERT_TRUE(run(false));

    // Damage of the same size with the write time put back, as a disk fault or a careless
    // tool leaves it.
    game.write("config/game.cfg", "PUBLISHED");
    fs::last_write_time(cfg, stamp);
    game.write("data/notes.txt", "the player's notes");
    ASSERT_TRUE(run(false));
    EXPECT_EQ(game.read("config/game.cfg"), "PUBLISHED") << "the stamp vouches within one update";

    json stale = cache();
    stale["gone\\old.dat"] = stale["config\\game.cfg"];
    game.write(cache_path, stale.dump());
    ASSERT_TRUE(run(true));
    EXPECT_EQ(launcher->error_text, L"");
    EXPECT_EQ(game.read("config/game.cfg"), "published");
    EXPECT_EQ(game.read("config/user.cfg"), "the player's own");
    EXPECT_EQ(game.read("data/notes.txt"), "the player's notes");
    const json rebuilt = cache();
    EXPECT_FALSE(rebuilt.contains("gone\\old.dat")) << "the old cache was not loaded";
    EXPECT_TRUE(rebuilt.contains("config\\game.cfg"));
    EXPECT_FALSE(rebuilt.contains("config\\user.cfg")) << "an accepted edit gets no stamp";

    // What the repair recorded vouches for the files again.
    test::faulty_files files;
    ASSERT_TRUE(run(false, &files));
    EXPECT_EQ(test::downloads_started(files), 0u);
    EXPECT_EQ(game.read("config/game.cfg"), "published");
}

} // namespace
} // namespace qz4
