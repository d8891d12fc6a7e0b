#include "common/file_system.hpp"

#include "common/encoding.hpp"
#include "common/paths.hpp"
#include "tests/support/system_probe.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

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

    std::uint32_t count = 0;
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
