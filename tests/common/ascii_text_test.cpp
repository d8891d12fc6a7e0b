#include "common/ascii_text.hpp"

#include <gtest/gtest.h>

namespace qz4 {
namespace {

TEST(Text, FoldsOnlyAsciiCapitals) {
    EXPECT_EQ(to_lower(std::wstring(L"ABC xyz \u00C4\u0416 09")), L"abc xyz \u00C4\u0416 09");
    EXPECT_EQ(to_lower(std::string("Client\\GAME.Exe")), "client\\game.exe");
    EXPECT_TRUE(equals_ci("ABCdef", "abcDEF"));
    EXPECT_FALSE(equals_ci("abc", "abcd"));
    EXPECT_TRUE(equals_ci(std::wstring_view(L"X\u0416"), std::wstring_view(L"x\u0416")));
    EXPECT_FALSE(equals_ci(std::wstring_view(L"\u0416"), std::wstring_view(L"\u0436"))); // not ASCII
}

TEST(Text, SuffixTests) {
    EXPECT_TRUE(ends_with("index.json", ".json"));
    EXPECT_FALSE(ends_with("index.json", ".JSON"));
    EXPECT_FALSE(ends_with("a", "abc"));
    EXPECT_TRUE(ends_with_ci(L"Bin\\Game.EXE", L".exe"));
    EXPECT_FALSE(ends_with_ci(L"exe", L".exe"));
    EXPECT_TRUE(ends_with_ci(L"x", L""));
}

TEST(Text, ReplaceAllContinuesAfterTheReplacement) {
    struct row {
        const wchar_t* text;
        const wchar_t* search;
        const wchar_t* replacement;
        const wchar_t* expected;
    };
    const row rows[] = {
        {L"aaa", L"a", L"aa", L"aaaaaa"},
        {L"1/data/my file.txt", L" ", L"%20", L"1/data/my%20file.txt"},
        {L"a\\b\\c", L"\\", L"/", L"a/b/c"},
        {L"abc", L"", L"x", L"abc"},
        {L"", L"a", L"b", L""},
        {L"abab", L"ab", L"", L""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "text " << testing::PrintToString(std::wstring(r.text)));
        EXPECT_EQ(replace_all(r.text, r.search, r.replacement), r.expected);
    }
}

TEST(Text, TrimRemovesWhiteSpaceAtBothEndsOnly) {
    std::wstring text = L" \t a b \r\n";
    trim(text);
    EXPECT_EQ(text, L"a b");
    std::wstring blank = L"   ";
    trim(blank);
    EXPECT_EQ(blank, L"");
}

TEST(Text, JoinStringsSkipsSeparatorWhileEmpty) {
    EXPECT_EQ(join_strings({}, L","), L"");
    EXPECT_EQ(join_strings({L"a"}, L","), L"a");
    EXPECT_EQ(join_strings({L"", L"", L"a", L"b"}, L","), L"a,b");
    EXPECT_EQ(join_strings({L"a", L"", L"b"}, L","), L"a,,b");
}

TEST(Text, SplitAtBackslashesKeepsEmptyPieces) {
    using list = std::vector<std::wstring>;
    EXPECT_EQ(split_at_backslashes(L"abc"), list{L"abc"});
    EXPECT_EQ(split_at_backslashes(L""), list{L""});
    EXPECT_EQ(split_at_backslashes(L"a\\b"), (list{L"a", L"b"}));
    EXPECT_EQ(split_at_backslashes(L"a\\\\b"), (list{L"a", L"", L"b"}));
    EXPECT_EQ(split_at_backslashes(L"\\a\\"), (list{L"", L"a", L""}));
    EXPECT_EQ(split_at_backslashes(L"a/b"), list{L"a/b"});
}

} // namespace
} // namespace qz4
