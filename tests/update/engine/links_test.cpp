// The game's folder as someone who may write in it could have left it: links planted at the
// work area, the download area, a file's folder or a file, and files swapped between their
// check and their rename. Whatever was planted, nothing outside the game's folder changes,
// and no byte that was not checked is put in place.
#include "common/encoding.hpp"
#include "tests/support/system_probe.hpp"
#include "tests/update/engine/engine_harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>

namespace qz4 {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

const std::string work = ".temp/" + std::string(test::test_product_guid);

// A game folder, a folder beside it that the launcher must never touch, and the launcher
// with the system's own table below the game folder.
class GameFolder : public testing::Test {
protected:
    GameFolder() {
        // Names the launcher writes, deletes or renames, ready to be hit through a link.
        for (const char* name :
             {"canary.txt", "data.bin", "data.bin.unp", "plain.bin.temp", "packed.bin.lzma2",
              "7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97/cache.json", "downloading/plain.bin.temp"})
            test::write_file(outside() / name, std::string("outside ") + name);
        before = test::snapshot(outside());
    }
    [[nodiscard]] fs::path outside() const { return game.dir().path() / "outside"; }
    [[nodiscard]] std::wstring game_path(const std::string& relative) const {
        return test::wide_path(game.root() / relative);
    }
    // Each a new update: an index of the update the launcher holds already is not fetched again.
    void publish(const json& entries) {
        tree.publish(++update, test::test_config({tree.base_url()}), entries);
    }
    bool run() {
        launcher = game.launcher({tree.base_url()}, &files);
        // One file after another, so that the last file placed is the last one downloaded.
        launcher->connections = 1;
        return launcher->run(splash, restart);
    }
    [[nodiscard]] std::string error_text() const { return wide_to_utf8(launcher->error_text); }

    test::served_tree tree;
    std::uint32_t update = 0; // of the last publish
    test::game_install game{"game"};
    const std::unique_ptr<file_operations> system = system_file_operations_below(game_path(""));
    test::faulty_files files{*system};
    test::recording_splash splash;
    std::unique_ptr<game_launcher> launcher;
    bool restart = false;
    std::map<std::string, std::string> before;
};

TEST_F(GameFolder, ALinkPlantedAnywhereLeadsNoChangeOutside) {
    enum class when { before_the_run, at_the_first_download, after_the_last_placing };
    struct row {
        const char* what;
        std::string link; // below the game folder
        const char* to;   // below the folder outside ("" for itself)
        when planted;
        bool updated;        // every file of the update is in place afterwards
        const char* failure; // a line error_text holds ("" for none)
    };
    const row rows[] = {
        {"the work area", ".temp", "", when::before_the_run, true, ""},
        {"the product's folder in the work area", work, "", when::before_the_run, true, ""},
        {"the download area", work + "/downloading", "", when::before_the_run, true, ""},
        {"the download area, while downloading", work + "/downloading", "", when::at_the_first_download,
         false, "Cannot create file: "},
        {"the download area, before it is removed", work + "/downloading", "", when::after_the_last_placing,
         true, ""},
        {"a file's folder", "data", "", when::before_the_run, false, "Cannot create folder: "},
        {"a file", "plain.bin", "canary.txt", when::before_the_run, true, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string& link = r.link;
        json entries = json::array({tree.add_file(1, "plain.bin", "new plain"),
                                    tree.add_file(1, "packed.bin", std::string(5000, 'p'), true),
                                    tree.add_file(1, "data\\data.bin", std::string(3000, 'd'), true)});
        publish(entries);
        const std::wstring link_path = game_path(link);
        const std::wstring target = test::wide_path(*r.to ? outside() / r.to : outside());
        const auto plant = [&] {
            std::error_code ignored;
            fs::remove_all(game.root() / link, ignored);
            return *r.to ? test::make_file_link(link_path, target)
                         : test::make_directory_link(link_path, target);
        };
        bool planted = false;
        if (r.planted == when::before_the_run) {
            fs::create_directories((game.root() / link).parent_path());
            planted = plant();
        } else if (r.planted == when::at_the_first_download) {
            files.refuse_create = [&](const std::wstring& path) -> std::optional<std::uint32_t> {
                if (!planted && path.find(L"\\downloading\\") != std::wstring::npos)
                    planted = plant();
                return std::nullopt;
            };
        } else {
            files.before_placing = [&, placed = 0](const std::wstring&, const std::wstring&) mutable {
                if (++placed == 3)
                    planted = plant();
            };
        }
        const bool result = run();
        if (!planted) {
            std::cout << "skipped (this system makes no such link): " << r.what << "\n";
            continue;
        }
        EXPECT_TRUE(result);
        EXPECT_TRUE(test::same_files(test::snapshot(outside()), before))
            << "nothing outside the game folder changed";
        if (r.updated) {
            EXPECT_EQ(game.read("plain.bin"), "new plain") << error_text();
            EXPECT_EQ(game.read("data/data.bin"), std::string(3000, 'd'));
            EXPECT_FALSE(fs::is_symlink(game.root() / "plain.bin"));
        } else {
            EXPECT_NE(error_text().find(r.failure), std::string::npos) << error_text();
            EXPECT_NE(error_text().find(wide_to_utf8(link_path)), std::string::npos)
                << "the error names the path: " << error_text();
        }
        // What a run removes at its end goes as a link, if it is one: never what it leads to.
        if (r.planted == when::after_the_last_placing) {
            EXPECT_FALSE(fs::exists(fs::symlink_status(game.root() / link)));
        }
        std::error_code ignored;
        fs::remove(game.root() / link, ignored);
        fs::remove_all(game.root() / ".temp", ignored);
        for (const char* name : {"plain.bin", "packed.bin", "data"})
            fs::remove_all(game.root() / name, ignored);
        files.refuse_create = nullptr;
        files.before_placing = nullptr;
    }
}

// A file swapped between the check of its digest and its rename never goes in: where the
// system lets the swap happen, the move finds another file at the name and refuses, and the
// file counts as failed until a check succeeds; where it refuses the swap (Windows holds the
// file), the file checked goes in.
TEST_F(GameFolder, AFileSwappedAfterItsCheckIsNeverPlaced) {
    struct row {
        const char* what;
        const char* name;
        bool packed;
        // With the swap done: the file still goes in at a later attempt (a packed file is
        // unpacked again from its download; a plain download is what was swapped).
        bool in_place_after_swap;
    };
    const row rows[] = {
        {"a plain file", "plain.bin", false, false},
        {"an unpacked file", "packed.bin", true, true},
        {"the new launcher, to its new- name", "launcher.exe", false, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string content = std::string(4000, 'n') + r.name;
        const std::string old_content = game.exists(r.name) ? game.read(r.name) : "old";
        game.write(r.name, old_content);
        publish(json::array({tree.add_file(1, r.name, content, r.packed)}));
        bool swapped = false;
        files.before_placing = [&](const std::wstring& from, const std::wstring&) {
            if (swapped)
                return;
            std::string source = wide_to_utf8(from);
            std::replace(source.begin(), source.end(), '\\', '/');
            test::write_file(game.dir().path() / "planted", "planted");
            std::error_code refused;
            fs::rename(game.dir().path() / "planted", fs::u8path(source), refused);
            swapped = !refused;
        };
        ASSERT_TRUE(run());
        for (const auto& [name, found] : game.client_files())
            EXPECT_NE(found, "planted") << name;
        const bool in_place = !swapped || r.in_place_after_swap;
        const bool self = std::string(r.name) == "launcher.exe";
        EXPECT_EQ(restart, self && in_place);
        EXPECT_EQ(game.read(r.name), in_place ? content : old_content);
        if (!in_place) {
            EXPECT_NE(error_text().find("Failed to unpack 1 files"), std::string::npos) << error_text();
        }
        files.before_placing = nullptr;
        restart = false;
    }
}

} // namespace
} // namespace qz4
