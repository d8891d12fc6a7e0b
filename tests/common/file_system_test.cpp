#include "common/file_system.hpp"

#include "common/encoding.hpp"
#include "common/file_handle.hpp"
#include "common/paths.hpp"
#include "tests/support/system_probe.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace qz4 {
namespace {

namespace fs = std::filesystem;

TEST(FileSystem, CreateDirectoriesMakesParentsAndRefusesFiles) {
    test::temp_dir dir;
    EXPECT_TRUE(create_directories(dir.wide("a\\b\\c")));
    EXPECT_TRUE(fs::is_directory(dir.native("a/b/c")));
    EXPECT_TRUE(create_directories(dir.wide("a\\b"))); // exists already
    EXPECT_TRUE(create_directories(dir.wide("m/n")));  // slashes separate too
    test::write_file(dir.native("file"), "x");
    EXPECT_FALSE(create_directories(dir.wide("file")));
    EXPECT_FALSE(create_directories(dir.wide("file\\below")));
    // A trailing separator creates the directory and then fails on it.
    EXPECT_FALSE(create_directories(dir.wide("t\\")));
    EXPECT_TRUE(fs::is_directory(dir.native("t")));
}

// Several workers create folders below the same new parents at once: whoever loses the race
// to make a shared parent must still go on and make its own levels.
TEST(FileSystem, CreateDirectoriesFromSeveralThreadsAtOnce) {
    test::temp_dir dir;
    constexpr int thread_count = 4;
    for (int round = 0; round < 100; ++round) {
        const std::string base = "r" + std::to_string(round) + "\\shared\\deeper\\";
        std::atomic<int> waiting{thread_count};
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < thread_count; ++t)
            threads.emplace_back([&, t] {
                for (--waiting; waiting.load() > 0;)
                    std::this_thread::yield();
                if (!create_directories(dir.wide(base + "own" + std::to_string(t))))
                    ++failures;
            });
        for (auto& thread : threads)
            thread.join();
        ASSERT_EQ(failures.load(), 0) << "round " << round;
    }
}

TEST(FileSystem, RemoveDirectoryDeletesTopLevelFilesOnly) {
    test::temp_dir dir;
    test::write_file(dir.native("flat/a.txt"), "a");
    test::write_file(dir.native("flat/b"), "b");
    fs::create_directories(dir.native("flat/empty/deeper"));
    EXPECT_TRUE(remove_directory(dir.wide("flat"), true));
    EXPECT_FALSE(fs::exists(dir.native("flat")));

    test::write_file(dir.native("nested/top.txt"), "t");
    test::write_file(dir.native("nested/sub/inner.txt"), "i");
    EXPECT_FALSE(remove_directory(dir.wide("nested"), true));
    EXPECT_FALSE(fs::exists(dir.native("nested/top.txt")));
    EXPECT_TRUE(fs::exists(dir.native("nested/sub/inner.txt")));

    test::write_file(dir.native("kept/file"), "k");
    EXPECT_FALSE(remove_directory(dir.wide("kept"), false));
    EXPECT_TRUE(fs::exists(dir.native("kept/file")));

    EXPECT_TRUE(remove_directory(dir.wide("never-was"), true));
}

TEST(FileSystem, ListingsAreDepthFirstWithOwnFilesFirst) {
    test::temp_dir dir;
    for (const char* name : {"z.txt", "a.bin", "noext", "b/b1.txt", "b/c/c1.txt", "d/d1.txt"})
        test::write_file(dir.native(name), name);
    const std::wstring root = dir.wide();
    const std::vector<std::wstring> expected_files = {
        root + L"\\a.bin",     root + L"\\noext",        root + L"\\z.txt",
        root + L"\\b\\b1.txt", root + L"\\b\\c\\c1.txt", root + L"\\d\\d1.txt",
    };
    EXPECT_EQ(list_files(root, true, L"*.*"), expected_files);
    EXPECT_EQ(list_files(root, false, L"*.TXT"), std::vector<std::wstring>{root + L"\\z.txt"});
    const std::vector<std::wstring> expected_dirs = {root + L"\\b", root + L"\\b\\c", root + L"\\d"};
    EXPECT_EQ(list_directories(root, true), expected_dirs);
    EXPECT_EQ(list_directories(root, false), (std::vector<std::wstring>{root + L"\\b", root + L"\\d"}));
    EXPECT_TRUE(list_files(root + L"\\z.txt", true, L"*.*").empty());
    EXPECT_TRUE(list_files(root + L"\\missing", true, L"*.*").empty());
}

// Links of every kind, made where the system lets this process make them: a test that
// cannot make one says so and skips.
class LinkedTree : public testing::Test {
protected:
    // Makes `link` lead to `target` (as written: relative to the link's folder, or absolute).
    bool make_link(const std::string& link, const fs::path& target, bool directory) {
        std::error_code error;
        if (directory)
            fs::create_directory_symlink(target, dir_.native(link), error);
        else
            fs::create_symlink(target, dir_.native(link), error);
        if (error)
            skip_reason_ = "this system makes no link here: " + error.message();
        return !error;
    }
    test::temp_dir dir_;
    std::string skip_reason_;
};

TEST_F(LinkedTree, WalksNeitherFollowNorListLinks) {
    test::write_file(dir_.native("outside/canary.txt"), "canary");
    test::write_file(dir_.native("root/a.txt"), "a");
    test::write_file(dir_.native("root/dir/b.txt"), "b");
    const struct {
        const char* name;
        fs::path target;
        bool directory;
    } links[] = {
        {"root/to_dir", "dir", true},
        {"root/to_file", "a.txt", false},
        {"root/to_outside", dir_.native("outside"), true},
        {"root/dir/to_canary", "../../outside/canary.txt", false},
        {"root/dead", "missing", false},
        {"root/loop", "loop", false},
        {"root/self", ".", true},
        {"root/up", "..", true},
    };
    std::vector<std::wstring> expected_links;
    for (const auto& link : links) {
        if (!make_link(link.name, link.target, link.directory))
            GTEST_SKIP() << skip_reason_;
        expected_links.push_back(dir_.wide(link.name));
    }
    const std::wstring root = dir_.wide("root");
    passed_over_entries passed_over;
    EXPECT_EQ(list_files(root, true, L"*.*", &passed_over),
              (std::vector<std::wstring>{root + L"\\a.txt", root + L"\\dir\\b.txt"}));
    std::sort(passed_over.links.begin(), passed_over.links.end());
    std::sort(expected_links.begin(), expected_links.end());
    EXPECT_EQ(passed_over.links, expected_links);
    EXPECT_TRUE(passed_over.others.empty());
    EXPECT_TRUE(passed_over.refused.empty());
    EXPECT_EQ(list_directories(root, true), std::vector<std::wstring>{root + L"\\dir"});
}

// The launcher empties its download area with this: a link planted there goes, and what it
// leads to stays whatever it is.
TEST_F(LinkedTree, RemovingADirectoryTakesLinksAwayAndNothingTheyLeadTo) {
    test::write_file(dir_.native("outside/canary.txt"), "canary");
    test::write_file(dir_.native("outside/dir/inner.txt"), "inner");
    test::write_file(dir_.native("area/own.txt"), "own");
    if (!make_link("area/file_link", dir_.native("outside/canary.txt"), false) ||
        !make_link("area/dir_link", dir_.native("outside/dir"), true))
        GTEST_SKIP() << skip_reason_;
    EXPECT_TRUE(remove_directory(dir_.wide("area"), true));
    EXPECT_FALSE(fs::exists(dir_.native("area")));
    EXPECT_EQ(test::read_file(dir_.native("outside/canary.txt")), "canary");
    EXPECT_EQ(test::read_file(dir_.native("outside/dir/inner.txt")), "inner");
}

// POSIX names that our Windows-form paths would read as other paths, or that Windows cannot
// hold: reported with the reason, never joined to a path that is then listed or entered.
TEST(FileSystem, NamesWindowsCannotHoldAreNeitherListedNorEnteredPosix) {
    if (const auto reason = test::posix_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    test::temp_dir dir;
    test::write_file(dir.native("escape.txt"), "outside");
    test::write_file(dir.native("sub/dir/inner.txt"), "outside too");
    test::write_file(dir.native("root/good.txt"), "good");
    const struct {
        const char* name;
        bool directory;
        std::wstring shown;
        name_fault fault;
    } rows[] = {
        {"..\\escape.txt", false, L"..\\escape.txt", name_fault::separator},
        {"..\\sub", true, L"..\\sub", name_fault::separator},
        {"bad:name", false, L"bad:name", name_fault::reserved_character},
        {"nul.txt", false, L"nul.txt", name_fault::device_name},
        {"dot.", true, L"dot.", name_fault::trailing_dot_or_space},
        {"\xFF\xFE.bin", false, L"\uFFFD\uFFFD.bin", name_fault::not_unicode},
    };
    for (const auto& r : rows) {
        const fs::path path = dir.native("root") / r.name;
        if (r.directory)
            test::write_file(path / "inner.txt", "inside a refused folder");
        else
            test::write_file(path, "refused");
    }
    const std::wstring root = dir.wide("root");
    passed_over_entries passed_over;
    EXPECT_EQ(list_files(root, true, L"*.*", &passed_over), std::vector<std::wstring>{root + L"\\good.txt"});
    EXPECT_TRUE(list_directories(root, true).empty());
    ASSERT_EQ(passed_over.refused.size(), std::size(rows));
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const auto found = std::find_if(passed_over.refused.begin(), passed_over.refused.end(),
                                        [&](const refused_name& refused) { return refused.name == r.shown; });
        ASSERT_NE(found, passed_over.refused.end());
        EXPECT_EQ(found->directory, root);
        EXPECT_EQ(found->fault, r.fault);
    }
}

// The Windows search's attribute bits, as find_entries takes them: Wine makes no links, so
// this is where a junction and a symbolic link are seen for what they are.
TEST(FileSystem, EveryReparsePointIsALink) {
    struct row {
        std::uint32_t attributes;
        entry_kind kind;
    };
    const row rows[] = {
        {0x80, entry_kind::file},                       // normal
        {0x20 | 0x01, entry_kind::file},                // archive, read-only
        {0x10, entry_kind::directory},                  // directory
        {0x10 | 0x400, entry_kind::link},               // junction, or a symbolic link to a directory
        {0x20 | 0x400, entry_kind::link},               // symbolic link to a file
        {0x20 | 0x400 | 0x400000, entry_kind::link},    // a cloud placeholder, not yet on the disk
        {0x10 | 0x02 | 0x04 | 0x400, entry_kind::link}, // hidden system junction ("Application Data")
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.attributes);
        EXPECT_EQ(entry_kind_of_windows_attributes(r.attributes), r.kind);
    }
}

// A device is no regular file, whatever its name: "NUL" on Windows, /dev/null elsewhere.
TEST(FileSystem, OpeningForReadingRefusesADevice) {
    const std::wstring device = test::posix_only_skip_reason().empty() ? L"\\dev\\null" : L"NUL";
    EXPECT_TRUE(file_handle::open_read(device).is_open());
    EXPECT_FALSE(file_handle::open_read_regular(device).is_open());
}

// The patch maker reads its input through this open: only a regular file, never what a link
// leads to, and never a wait on a pipe.
TEST_F(LinkedTree, OpeningForReadingTakesOnlyARegularFileItself) {
    test::write_file(dir_.native("file"), "content");
    fs::create_directory(dir_.native("folder"));
    if (!make_link("to_file", "file", false))
        GTEST_SKIP() << skip_reason_;
    const struct {
        const char* name;
        bool opens;
    } rows[] = {{"file", true}, {"to_file", false}, {"folder", false}, {"missing", false}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        file_handle file = file_handle::open_read_regular(dir_.wide(r.name));
        EXPECT_EQ(file.is_open(), r.opens);
        EXPECT_EQ(file.open_error() != 0, !r.opens);
    }
    EXPECT_TRUE(file_handle::open_read(dir_.wide("to_file")).is_open()) << "the plain open follows links";
}

TEST(FileSystem, NamePatternsFollowTheWindowsSearch) {
    EXPECT_TRUE(name_matches_pattern(L"noext", L"*.*"));
    EXPECT_TRUE(name_matches_pattern(L"A.TXT", L"*.txt"));
    EXPECT_FALSE(name_matches_pattern(L"a.txt.bak", L"*.txt"));
    EXPECT_TRUE(name_matches_pattern(L"ab", L"a?"));
    EXPECT_FALSE(name_matches_pattern(L"a", L"a?"));
    EXPECT_TRUE(name_matches_pattern(L"abcabc", L"*b*c"));
}

TEST(FileSystem, FileQueriesAndDeletion) {
    test::temp_dir dir;
    test::write_file(dir.native("data.bin"), "0123456789");
    test::write_file(dir.native("empty"), "");
    fs::create_directory(dir.native("folder"));

    EXPECT_EQ(file_size(dir.wide("data.bin")), 10u);
    EXPECT_EQ(file_size(dir.wide("missing")), 0u);
    EXPECT_TRUE(is_regular_file(dir.wide("data.bin")));
    EXPECT_FALSE(is_regular_file(dir.wide("folder")));
    EXPECT_TRUE(is_directory(dir.wide("folder")));
    EXPECT_FALSE(is_directory(dir.wide("missing")));
    EXPECT_EQ(stat_file_size(dir.wide("data.bin")), 10u);
    EXPECT_EQ(stat_file_size(dir.wide("empty")), 0u);
    EXPECT_EQ(stat_file_size(dir.wide("missing")), std::nullopt);
    EXPECT_EQ(stat_file_size(dir.wide("folder")), std::nullopt);

    std::uint64_t count = 0;
    EXPECT_TRUE(read_file_part(dir.wide("data.bin"), nullptr, count));
    EXPECT_EQ(count, 10u);
    std::uint8_t part[4] = {};
    count = 4;
    EXPECT_TRUE(read_file_part(dir.wide("data.bin"), part, count));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(part), 4), "0123");
    std::uint8_t whole[32] = {};
    count = 32; // more than the file holds: reads the file
    EXPECT_TRUE(read_file_part(dir.wide("data.bin"), whole, count));
    EXPECT_FALSE(read_file_part(dir.wide("missing"), part, count));

    byte_buffer buffer;
    EXPECT_TRUE(read_file_bytes(dir.wide("data.bin"), buffer));
    EXPECT_EQ(buffer.length, 10u);
    EXPECT_EQ(buffer.position, 0u);
    EXPECT_FALSE(read_file_bytes(dir.wide("empty"), buffer));

    EXPECT_TRUE(delete_file_now(dir.wide("data.bin")));
    EXPECT_FALSE(fs::exists(dir.native("data.bin")));
    EXPECT_FALSE(delete_file_now(dir.wide("data.bin")));
    EXPECT_FALSE(delete_file_now(dir.wide("folder")));
}

// A size past 32 bits is given in full, not as its low bits (5 GiB would read as 1 GiB).
// The file is sparse: it takes no room on the disk.
TEST(FileSystem, SizesBeyond4GiB) {
    test::temp_dir dir;
    constexpr std::uint64_t five_gib = 5ULL << 30;
    test::write_file(dir.native("large.bin"), "start");
    fs::resize_file(dir.native("large.bin"), five_gib);

    EXPECT_EQ(file_size(dir.wide("large.bin")), five_gib);
    EXPECT_EQ(stat_file_size(dir.wide("large.bin")), five_gib);
    std::uint64_t count = 0;
    EXPECT_TRUE(read_file_part(dir.wide("large.bin"), nullptr, count));
    EXPECT_EQ(count, five_gib);
    std::uint8_t part[5] = {};
    count = sizeof part;
    EXPECT_TRUE(read_file_part(dir.wide("large.bin"), part, count));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(part), 5), "start");
}

// Others write to the volume meanwhile, so the two answers are compared loosely; a wrong
// block unit would be off by a factor.
TEST(FileSystem, FreeSpaceAgreesWithTheStandardLibrary) {
    test::temp_dir dir;
    const auto free = free_disk_space(dir.wide());
    ASSERT_TRUE(free.has_value());
    const std::uint64_t expected = fs::space(dir.path()).available;
    const std::uint64_t slack = 64ull << 20;
    EXPECT_LE(*free, expected + slack);
    EXPECT_GE(*free + slack, expected);
    EXPECT_EQ(free_disk_space(dir.wide("missing\\deeper")), std::nullopt);
}

TEST(FileSystem, MoveReplacesAndCopyOverwrites) {
    test::temp_dir dir;
    test::write_file(dir.native("new"), "new content");
    test::write_file(dir.native("old"), "old");
    EXPECT_TRUE(move_file_replace(dir.wide("new"), dir.wide("old")));
    EXPECT_EQ(test::read_file(dir.native("old")), "new content");
    EXPECT_FALSE(fs::exists(dir.native("new")));
    EXPECT_FALSE(move_file_replace(dir.wide("missing"), dir.wide("old")));

    test::write_file(dir.native("target"), "something longer than the source");
    EXPECT_TRUE(copy_file_overwrite(dir.wide("old"), dir.wide("target")));
    EXPECT_EQ(test::read_file(dir.native("target")), "new content");
    EXPECT_FALSE(copy_file_overwrite(dir.wide("missing"), dir.wide("other")));
    EXPECT_FALSE(fs::exists(dir.native("other")));
}

TEST(FileSystem, NonAsciiNamesSurviveTheRoundTrip) {
    test::temp_dir dir;
    const std::wstring folder = dir.wide() + L"\\\u0414\u0430\u043D\u043D\u044B\u0435";
    ASSERT_TRUE(create_directories(folder));
    test::write_file(dir.native("\xD0\x94\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5/my file.txt"), "x");
    EXPECT_EQ(list_files(folder, false, L"*.*"), std::vector<std::wstring>{folder + L"\\my file.txt"});
}

TEST(FileSystem, ModulePathNamesThisTestProgram) {
    const std::wstring path = module_path();
    EXPECT_NE(path.find(L"qz4_common_tests"), std::wstring::npos);
    EXPECT_EQ(module_directory() + L"\\" + path.substr(module_directory().size() + 1), path);
    EXPECT_TRUE(is_regular_file(path));
}

// Windows: files that another program holds open.
TEST(FileSystem, DeleteFileNowAndOtherHoldersWindows) {
    if (const auto reason = test::windows_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    test::temp_dir dir;
    test::write_file(dir.native("shared.bin"), "held content");
    test::write_file(dir.native("locked.bin"), "locked content");

    // A holder that allows deletion keeps reading what it opened; the name goes with it.
    test::held_file sharing(dir.wide("shared.bin"), test::held_file::access::read_sharing_all);
    ASSERT_TRUE(sharing.is_open());
    EXPECT_TRUE(delete_file_now(dir.wide("shared.bin")));
    EXPECT_EQ(sharing.read_all(), "held content");
    sharing.close();
    EXPECT_FALSE(test::can_open_file(dir.wide("shared.bin")));
    EXPECT_FALSE(is_regular_file(dir.wide("shared.bin")));

    // A holder that does not allow it wins: the deletion is refused and reported as such.
    test::held_file locking(dir.wide("locked.bin"), test::held_file::access::write_sharing_read_write);
    ASSERT_TRUE(locking.is_open());
    EXPECT_FALSE(delete_file_now(dir.wide("locked.bin")));
    locking.close();
    EXPECT_EQ(test::read_file(dir.native("locked.bin")), "locked content");
}

// Windows: paths with drive letters and UNC shares, with either separator.
TEST(FileSystem, DriveLetterAndUncPathsWindows) {
    if (const auto reason = test::windows_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    test::temp_dir dir;
    const std::wstring root = dir.wide();
    ASSERT_GE(root.size(), 3u);
    ASSERT_EQ(root.substr(1, 2), L":\\");
    const std::wstring drive = root.substr(0, 2);

    const std::wstring mixed = root + L"\\one/two\\three";
    EXPECT_TRUE(create_directories(mixed));
    EXPECT_TRUE(is_directory(root + L"\\one\\two\\three"));
    EXPECT_EQ(parent_directory(mixed), root + L"\\one/two");
    // The drive itself, with and without its backslash, exists already.
    EXPECT_TRUE(create_directories(drive));
    EXPECT_TRUE(create_directories(drive + L"\\"));
    EXPECT_EQ(parent_directory(drive + L"\\x"), drive);

    // A share to write to: scripts/test-windows.sh maps one; on a Windows machine name any
    // writable share.
    const char* share_variable = std::getenv("QZ4_TEST_UNC_SHARE");
    if (share_variable == nullptr || *share_variable == '\0')
        GTEST_SKIP() << "drive letters checked; set QZ4_TEST_UNC_SHARE to a writable \\\\server\\share "
                        "for the UNC half";
    const std::wstring share = utf8_to_wide(share_variable);
    ASSERT_EQ(share.substr(0, 2), L"\\\\");
    ASSERT_TRUE(is_directory(share)) << "cannot reach the share";
    const std::wstring top = join_path(share, file_name_of(root));
    const std::wstring deep = top + L"\\a/b\\c";
    EXPECT_TRUE(create_directories(deep));
    EXPECT_TRUE(is_directory(top + L"\\a\\b\\c"));
    EXPECT_EQ(parent_directory(parent_directory(deep)), top);
    EXPECT_EQ(parent_directory(share + L"\\file"), share);
    EXPECT_TRUE(remove_directory(top, false));
    EXPECT_FALSE(is_directory(top));
}

} // namespace
} // namespace qz4
