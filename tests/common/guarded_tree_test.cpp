// The game's tree changed without passing through links: each operation against a link
// planted on its way, with files outside the tree that must stay exactly as they were.
#include "common/guarded_tree.hpp"

#include "common/encoding.hpp"
#include "tests/support/system_probe.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <map>

namespace qz4 {
namespace {

namespace fs = std::filesystem;

TEST(NamesBelow, OnlyPathsStrictlyBelowTheRootWithoutWayBack) {
    struct row {
        const wchar_t* root;
        const wchar_t* path;
        std::vector<std::wstring> names; // empty: refused
    };
    const row rows[] = {
        {L"C:\\game", L"C:\\game\\a.bin", {L"a.bin"}},
        {L"C:\\game", L"C:\\game\\data\\sub/x.pak", {L"data", L"sub", L"x.pak"}},
        {L"C:\\game\\", L"C:\\game\\a", {L"a"}},
        {L"C:\\game", L"C:\\game\\\\a\\", {L"a"}},
        {L"C:\\game", L"C:\\game", {}},
        {L"C:\\game", L"C:\\game\\", {}},
        {L"C:\\game", L"C:\\game2\\a", {}},
        {L"C:\\game", L"C:\\other\\a", {}},
        {L"C:\\game", L"C:\\game\\..\\windows\\a", {}},
        {L"C:\\game", L"C:\\game\\data\\.\\a", {}},
        {L"", L"C:\\game\\a", {}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(wide_to_utf8(std::wstring(r.root) + L" | " + r.path));
        const auto names = names_below(r.root, r.path);
        EXPECT_EQ(names.value_or(std::vector<std::wstring>{}), r.names);
        EXPECT_EQ(names.has_value(), !r.names.empty());
    }
}

// A game tree beside a folder outside it, and links from the one into the other.
class GuardedTree : public testing::Test {
public:
    [[nodiscard]] std::wstring game(std::string_view relative) const {
        return dir.wide("game\\" + std::string(relative));
    }

protected:
    void SetUp() override {
        test::write_file(dir.native("outside/canary.txt"), "canary");
        test::write_file(dir.native("outside/sub/deep.txt"), "deep");
        test::write_file(dir.native("game/plain.txt"), "plain");
        before = test::snapshot(dir.native("outside"));
    }

    test::temp_dir dir;
    guarded_tree tree{dir.wide("game")};
    std::map<std::string, std::string> before;
};

bool opened(const file_handle& file) {
    return file.is_open();
}

TEST_F(GuardedTree, NoOperationReachesThroughALink) {
    enum class planted { directory_link, file_link, hard_link };
    struct row {
        const char* what;
        planted link; // at game\linked
        std::function<bool(const guarded_tree&, GuardedTree&)> operation;
        bool succeeds;
        // What game\linked is afterwards: "link", "gone", "dir" (a folder of its own), "file".
        const char* left;
    };
    const row rows[] = {
        {"create a file in a linked folder", planted::directory_link,
         [](const guarded_tree& t, GuardedTree& f) {
             return opened(t.create_write(f.game("linked\\new.bin")));
         },
         false, "link"},
        {"empty a file in a linked folder", planted::directory_link,
         [](const guarded_tree& t, GuardedTree& f) {
             return opened(t.create_write(f.game("linked\\canary.txt")));
         },
         false, "link"},
        {"create over a file link", planted::file_link,
         [](const guarded_tree& t, GuardedTree& f) { return opened(t.create_write(f.game("linked"))); },
         false, "link"},
        {"create over a second name of an outside file", planted::hard_link,
         [](const guarded_tree& t, GuardedTree& f) { return opened(t.create_write(f.game("linked"))); },
         false, "file"},
        {"continue a file in a linked folder", planted::directory_link,
         [](const guarded_tree& t, GuardedTree& f) {
             return opened(t.continue_write(f.game("linked\\canary.txt"), 2));
         },
         false, "link"},
        {"continue a second name of an outside file", planted::hard_link,
         [](const guarded_tree& t, GuardedTree& f) { return opened(t.continue_write(f.game("linked"), 2)); },
         false, "file"},
        {"open a file link to place it", planted::file_link,
         [](const guarded_tree& t, GuardedTree& f) { return t.open_to_place(f.game("linked")).is_open(); },
         false, "link"},
        {"rename into a linked folder", planted::directory_link,
         [](const guarded_tree& t, GuardedTree& f) {
             return t.move_replace(f.game("plain.txt"), f.game("linked\\canary.txt"));
         },
         false, "link"},
        {"rename a link into place", planted::file_link,
         [](const guarded_tree& t, GuardedTree& f) {
             return t.move_replace(f.game("linked"), f.game("moved"));
         },
         false, "link"},
        {"rename over a link replaces the link", planted::file_link,
         [](const guarded_tree& t, GuardedTree& f) {
             return t.move_replace(f.game("plain.txt"), f.game("linked"));
         },
         true, "file"},
        {"place a file in a linked folder", planted::directory_link,
         [](const guarded_tree& t, GuardedTree& f) {
             held_file held = t.open_to_place(f.game("plain.txt"));
             return held.is_open() && held.move_over(f.game("linked\\canary.txt"));
         },
         false, "link"},
        {"delete in a linked folder", planted::directory_link,
         [](const guarded_tree& t, GuardedTree& f) { return t.delete_file(f.game("linked\\canary.txt")); },
         false, "link"},
        {"delete a file link deletes the link", planted::file_link,
         [](const guarded_tree& t, GuardedTree& f) { return t.delete_file(f.game("linked")); }, true, "gone"},
        {"create folders in a linked folder", planted::directory_link,
         [](const guarded_tree& t, GuardedTree& f) {
             return t.create_directories(f.game("linked\\new\\deeper"));
         },
         false, "link"},
        {"remove a linked folder removes the link", planted::directory_link,
         [](const guarded_tree& t, GuardedTree& f) { return t.remove_directory(f.game("linked"), true); },
         true, "gone"},
        {"remove a folder below a linked one", planted::directory_link,
         [](const guarded_tree& t, GuardedTree& f) {
             return t.remove_directory(f.game("linked\\sub"), true);
         },
         false, "link"},
        {"mark a program in a linked folder", planted::directory_link,
         [](const guarded_tree& t, GuardedTree& f) {
             return t.mark_executable(f.game("linked\\canary.txt"));
         },
         false, "link"},
        {"mark a file link", planted::file_link,
         [](const guarded_tree& t, GuardedTree& f) { return t.mark_executable(f.game("linked")); }, false,
         "link"},
        {"a private folder where a link was", planted::directory_link,
         [](const guarded_tree& t, GuardedTree& f) { return t.create_private_directory(f.game("linked")); },
         true, "dir"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const std::wstring link = game("linked");
        bool made = false;
        switch (r.link) {
        case planted::directory_link:
            made = test::make_directory_link(link, dir.wide("outside"));
            break;
        case planted::file_link:
            made = test::make_file_link(link, dir.wide("outside\\canary.txt"));
            break;
        case planted::hard_link:
            made = test::make_hard_link(link, dir.wide("outside\\canary.txt"));
            break;
        }
        if (!made) {
            std::cout << "skipped (this system makes no such link): " << r.what << "\n";
            continue;
        }
        EXPECT_EQ(r.operation(tree, *this), r.succeeds);
        EXPECT_EQ(test::snapshot(dir.native("outside")), before) << "nothing outside the tree changed";
        const fs::path left = dir.native("game/linked");
        const std::string state = fs::is_symlink(left) || fs::is_other(fs::symlink_status(left)) ? "link"
                                  : !fs::exists(fs::symlink_status(left))                        ? "gone"
                                  : fs::is_directory(fs::symlink_status(left))                   ? "dir"
                                                                                                 : "file";
        // A Windows junction is neither a symbolic link nor a directory to the library.
        if (!(std::string(r.left) == "link" && r.link == planted::directory_link && state == "dir")) {
            EXPECT_EQ(state, r.left);
        }
        // Back to a plain tree for the next row.
        std::error_code ignored;
        fs::remove(left, ignored);
        fs::remove_all(left, ignored);
        test::write_file(dir.native("game/plain.txt"), "plain");
    }
}

// What is read through a held file is what moves into place: a file put at its name after the
// read never goes in its stead. Where the system refuses to let anyone touch a held file
// (Windows), the swap itself fails and the file read goes in.
TEST_F(GuardedTree, AFileSwappedAfterItWasReadIsNotPlaced) {
    test::write_file(dir.native("game/checked.bin"), "checked");
    test::write_file(dir.native("game/target.bin"), "old");
    held_file held = tree.open_to_place(game("checked.bin"));
    ASSERT_TRUE(held.is_open());
    char read[16] = {};
    ASSERT_EQ(held.read_some(read, sizeof read), std::optional<std::size_t>(7));

    test::write_file(dir.native("game/swap.bin"), "swapped");
    std::error_code refused;
    fs::rename(dir.native("game/swap.bin"), dir.native("game/checked.bin"), refused);
    const bool moved = held.move_over(game("target.bin"));
    held.close();
    if (refused) {
        EXPECT_TRUE(moved);
        EXPECT_EQ(test::read_file(dir.native("game/target.bin")), "checked");
    } else {
        EXPECT_FALSE(moved);
        EXPECT_EQ(test::read_file(dir.native("game/target.bin")), "old");
        EXPECT_EQ(test::read_file(dir.native("game/checked.bin")), "swapped");
    }
}

// The launcher's work area: only administrators and the system may change it (POSIX: only
// its own user), whatever state it was found in; one that belongs to another user (POSIX) is
// not used.
TEST_F(GuardedTree, APrivateDirectoryIsSecuredAsFoundOrRefused) {
    enum class found { nothing, open_to_all, foreign };
    struct row {
        const char* what;
        found state;
        bool usable;
    };
    const row rows[] = {
        {"made anew", found::nothing, true},
        {"found open to everyone", found::open_to_all, true},
        {"found belonging to another user", found::foreign, false},
    };
    fs::create_directories(dir.native("probe"));
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string name = "private-" + std::to_string(&r - rows);
        const std::wstring path = game(name);
        if (r.state != found::nothing) {
            fs::create_directories(dir.native("game/" + name));
            fs::permissions(dir.native("game/" + name), fs::perms::all);
        }
        if (r.state == found::foreign && !test::give_to_another_user(path)) {
            std::cout << "skipped (cannot give a folder away here): " << r.what << "\n";
            continue;
        }
        EXPECT_EQ(tree.create_private_directory(path), r.usable);
        if (!r.usable)
            continue;
        const std::string access = test::access_of(path);
        if (!test::keeps_access_lists(dir.wide("probe"))) {
            std::cout << "not checked (this system forgets access lists): " << access << "\n";
        } else if (access.find('(') == std::string::npos) {
            EXPECT_EQ(access, "0755");
        } else {
            // Protected from what the folders above pass down; administrators and the system
            // may do anything, users only read.
            EXPECT_NE(access.find("D:P"), std::string::npos) << access;
            EXPECT_NE(access.find("(A;OICI;FA;;;BA)"), std::string::npos) << access;
            EXPECT_NE(access.find("(A;OICI;FA;;;SY)"), std::string::npos) << access;
            EXPECT_NE(access.find("(A;OICI;0x1200a9;;;BU)"), std::string::npos) << access;
            EXPECT_EQ(access.find(";WD)"), std::string::npos) << "nothing for everyone: " << access;
        }
    }
}

TEST_F(GuardedTree, PathsOutsideTheTreeAreRefused) {
    EXPECT_FALSE(tree.create_write(dir.wide("outside\\new.bin")).is_open());
    EXPECT_FALSE(tree.delete_file(dir.wide("outside\\canary.txt")));
    EXPECT_FALSE(tree.delete_file(game("..\\outside\\canary.txt")));
    EXPECT_FALSE(tree.move_replace(game("plain.txt"), dir.wide("outside\\canary.txt")));
    EXPECT_FALSE(tree.create_directories(game("..\\outside\\new")));
    EXPECT_EQ(test::snapshot(dir.native("outside")), before);
    EXPECT_TRUE(tree.create_directories(dir.wide("game")));
    EXPECT_TRUE(tree.create_directories(game("a\\b")));
    EXPECT_TRUE(fs::is_directory(dir.native("game/a/b")));
}

} // namespace
} // namespace qz4
