// The launcher replacing its own executable: the swap by two renames, its failures, and
// the whole way through a run and the start after it.
#include "common/sha1.hpp"
#include "common/sha256.hpp"
#include "update/engine/executable_restore.hpp"
#include "update/engine/self_update.hpp"

#include "tests/update/engine/engine_harness.hpp"

#include <gtest/gtest.h>

namespace qz4 {
namespace {

using nlohmann::json;

// The launcher and the copies a self-update names, in `dir`.
void place_launchers(const test::temp_dir& dir, const char* exe, const char* new_copy, const char* old_copy) {
    const std::pair<const char*, const char*> files[] = {
        {"launcher.exe", exe}, {"new-launcher.exe", new_copy}, {"old-launcher.exe", old_copy}};
    for (const auto& [name, content] : files)
        if (content)
            test::write_file(dir.native(name), content);
}

TEST(SelfUpdateStep, TheSwapAndEveryWayItCanGo) {
    enum class refuse { none, first, second };
    // What someone writing in the game's folder does to the new launcher: nothing, change it
    // after the pass checked it, or swap it between its check here and its rename.
    enum class meddling { none, changed, swapped_after_check };
    // What the pass checked the new launcher against: its SHA-1 alone, or with a SHA-256 too
    // (a launcher with keys), which the file on disk must match as well.
    enum class checked_with { sha1, sha256_of_new, sha256_of_another };
    struct row {
        const char* what;
        bool ready, allowed, new_there, old_there;
        refuse refused;
        self_update_result result;
        const char* exe; // what is at exe_path afterwards
        bool old_after, new_after;
        meddling meddled = meddling::none;
        checked_with digests = checked_with::sha1;
    };
    const row rows[] = {
        {"swap", true, true, true, false, refuse::none, self_update_result::swapped, "new", true, false},
        {"first rename refused", true, true, true, false, refuse::first, self_update_result::not_swapped,
         "running", false, true},
        {"second rename refused: the running one comes back", true, true, true, false, refuse::second,
         self_update_result::not_swapped, "running", false, true},
        {"not allowed: an old copy goes", true, false, true, true, refuse::none,
         self_update_result::nothing_to_do, "running", false, true},
        {"nothing new: an old copy goes", false, true, false, true, refuse::none,
         self_update_result::nothing_to_do, "running", false, false},
        {"ready but the new file vanished", true, true, false, false, refuse::none,
         self_update_result::nothing_to_do, "running", false, false},
        {"changed since the pass checked it: never started", true, true, true, false, refuse::none,
         self_update_result::not_swapped, "running", false, true, meddling::changed},
        {"swapped between its check and its rename", true, true, true, false, refuse::none,
         self_update_result::not_swapped, "running", false, true, meddling::swapped_after_check},
        {"both digests hold", true, true, true, false, refuse::none, self_update_result::swapped, "new", true,
         false, meddling::none, checked_with::sha256_of_new},
        {"the SHA-1 holds, the SHA-256 does not: never started", true, true, true, false, refuse::none,
         self_update_result::not_swapped, "running", false, true, meddling::none,
         checked_with::sha256_of_another},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        test::temp_dir dir;
        place_launchers(dir, "running",
                        r.new_there ? (r.meddled == meddling::changed ? "planted" : "new") : nullptr,
                        r.old_there ? "old" : nullptr);
        test::faulty_files files;
        int moves = 0;
        files.refuse_move = [&](const std::wstring&, const std::wstring&) {
            ++moves;
            return (r.refused == refuse::first && moves == 1) || (r.refused == refuse::second && moves == 2);
        };
        // Where the system lets nobody touch a file held to be placed (Windows), the swap is
        // refused and the checked launcher goes in.
        bool swapped = false;
        if (r.meddled == meddling::swapped_after_check)
            files.before_placing = [&](const std::wstring&, const std::wstring&) {
                test::write_file(dir.native("planted"), "planted");
                std::error_code refused;
                std::filesystem::rename(dir.native("planted"), dir.native("new-launcher.exe"), refused);
                swapped = !refused;
            };
        const auto layout = layout_for_executable(dir.wide("launcher.exe"));
        new_launcher waiting{r.ready, {}};
        waiting.task.local_sha1 = sha1_text("new");
        if (r.digests != checked_with::sha1) {
            waiting.task.digests = digest_kinds::sha1_and_sha256;
            waiting.task.local_sha256 =
                sha256_text(r.digests == checked_with::sha256_of_new ? "new" : "other");
        }
        const self_update_result result = self_update_step(files, layout, waiting, r.allowed);
        if (r.meddled == meddling::swapped_after_check && !swapped) {
            EXPECT_EQ(result, self_update_result::swapped);
            EXPECT_EQ(test::read_file(dir.native("launcher.exe")), "new");
            continue;
        }
        EXPECT_EQ(result, r.result);
        EXPECT_EQ(test::read_file(dir.native("launcher.exe")), r.exe);
        EXPECT_EQ(std::filesystem::exists(dir.native("old-launcher.exe")), r.old_after);
        EXPECT_EQ(std::filesystem::exists(dir.native("new-launcher.exe")), r.new_after);
    }
}

// A start that finds the launcher's own file missing: the swap was cut between its renames,
// or only a copy is left.
TEST(ExecutableRestore, TheCopyThatComesBackAndTheFilesAfterwards) {
    struct row {
        const char* what;
        bool exe_there, new_there, old_there;
        restore_source source;
        const char* exe; // at exe_path afterwards; null: nothing
        bool old_after, new_after;
    };
    const row rows[] = {
        {"nothing missing", true, true, true, restore_source::none, "running", true, true},
        {"cut between the renames: the checked new one", false, true, true, restore_source::new_copy, "new",
         true, false},
        {"only the new one", false, true, false, restore_source::new_copy, "new", false, false},
        {"only the old one", false, false, true, restore_source::old_copy, "old", false, false},
        {"nothing left", false, false, false, restore_source::none, nullptr, false, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(restore_source_for(r.exe_there, r.new_there, r.old_there), r.source);
        test::temp_dir dir;
        place_launchers(dir, r.exe_there ? "running" : nullptr, r.new_there ? "new" : nullptr,
                        r.old_there ? "old" : nullptr);
        test::faulty_files files;
        // Started from either copy, the layout is the launcher's own.
        for (const char* started : {"old-launcher.exe", "new-launcher.exe", "launcher.exe"})
            EXPECT_EQ(layout_for_executable(dir.wide(started)).exe_path, dir.wide("launcher.exe"));
        const auto layout = layout_for_executable(dir.wide("old-launcher.exe"));
        EXPECT_EQ(restore_executable(files, layout), r.exe != nullptr);
        if (r.exe) {
            EXPECT_EQ(test::read_file(dir.native("launcher.exe")), r.exe);
        }
        EXPECT_EQ(std::filesystem::exists(dir.native("old-launcher.exe")), r.old_after);
        EXPECT_EQ(std::filesystem::exists(dir.native("new-launcher.exe")), r.new_after);
    }
}

class SelfUpdate : public testing::Test {
protected:
    void publish_new_launcher() {
        tree.publish(1, test::test_config({tree.base_url()}),
                     json::array({tree.add_file(1, "launcher.exe", "the new launcher", true),
                                  tree.add_file(1, "game.dat", "data")}));
    }
    test::served_tree tree;
    test::game_install game;
    test::recording_splash splash;
};

TEST_F(SelfUpdate, ANewLauncherIsSwappedInAndTheNextStartRemovesTheOldOne) {
    publish_new_launcher();
    bool restart = false;
    ASSERT_TRUE(game.launcher({tree.base_url()})->run(splash, restart));
    EXPECT_TRUE(restart);
    EXPECT_EQ(game.read("launcher.exe"), "the new launcher");
    EXPECT_EQ(game.read("old-launcher.exe"), "the running launcher");
    EXPECT_FALSE(game.exists("new-launcher.exe"));

    test::faulty_files files;
    restart = false;
    auto restarted = game.launcher({tree.base_url()}, &files);
    ASSERT_TRUE(restarted->run(splash, restart));
    EXPECT_FALSE(restart);
    EXPECT_FALSE(game.exists("old-launcher.exe"));
    EXPECT_EQ(test::downloads_started(files), 0u);
}

TEST_F(SelfUpdate, WithoutSelfUpdateTheNewLauncherWaitsBesideTheRunningOne) {
    publish_new_launcher();
    game.write("old-launcher.exe", "from long ago");
    auto launcher = game.launcher({tree.base_url()});
    launcher->self_update_allowed = false;
    bool restart = false;
    ASSERT_TRUE(launcher->run(splash, restart));
    EXPECT_FALSE(restart);
    EXPECT_EQ(game.read("launcher.exe"), "the running launcher");
    EXPECT_EQ(game.read("new-launcher.exe"), "the new launcher");
    EXPECT_FALSE(game.exists("old-launcher.exe"));
    EXPECT_EQ(game.read("game.dat"), "data");
}

} // namespace
} // namespace qz4
