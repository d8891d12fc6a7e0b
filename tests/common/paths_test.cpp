#include "common/paths.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace qz4 {
namespace {

TEST(Paths, JoinInsertsOneBackslashOnlyWhenNeeded) {
    EXPECT_EQ(join_path(L"C:\\Games", L"client\\Client.exe"), L"C:\\Games\\client\\Client.exe");
    EXPECT_EQ(join_path(L"C:\\Games\\", L"client\\Client.exe"), L"C:\\Games\\client\\Client.exe");
    EXPECT_EQ(join_path(L"C:\\Games", L"\\x"), L"C:\\Games\\x");
    EXPECT_EQ(join_path(L"C:\\Games\\", L"\\x"), L"C:\\Games\\\\x");
    EXPECT_EQ(join_path(L"a/", L"b"), L"a/\\b");
    EXPECT_EQ(join_path(L"a", L""), L"a\\");
    EXPECT_THROW((void)join_path(L"", L"b"), std::out_of_range);
}

TEST(Paths, ParentAndFileNamePreferBackslashes) {
    struct row {
        const wchar_t* path;
        const wchar_t* parent;
        const wchar_t* name;
    };
    const row rows[] = {
        {L"C:\\a/b", L"C:", L"a/b"},
        {L"dir\\sub/file", L"dir", L"sub/file"},
        {L"a/b/c", L"a/b", L"c"},
        {L"file.txt", L"file.txt", L"file.txt"},
        {L"", L"", L""},
        {L"\\\\server\\share\\f", L"\\\\server\\share", L"f"},
        {L"C:\\Games\\", L"C:\\Games", L""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "path " << testing::PrintToString(std::wstring(r.path)));
        EXPECT_EQ(parent_directory(r.path), r.parent);
        EXPECT_EQ(file_name_of(r.path), r.name);
    }
}

} // namespace
} // namespace qz4
