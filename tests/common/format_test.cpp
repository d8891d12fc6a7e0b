#include "common/format.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

namespace qz4 {
namespace {

TEST(Format, WideFormatsTakeWideForLowerSAndNarrowForUpperS) {
    EXPECT_EQ(format_wide(L"%s (%S)", L"Data\\a.txt", "CURL error: 22"), L"Data\\a.txt (CURL error: 22)");
    EXPECT_EQ(format_wide(L"\nFile: %s", L"\u0416.txt"), L"\nFile: \u0416.txt");
    EXPECT_EQ(format_wide(L"%S", "\xD0\x96"), L"\u0416"); // narrow text is UTF-8
    EXPECT_EQ(format_wide(L"%hs|%ls|%ws", "n", L"w", L"w2"), L"n|w|w2");
    EXPECT_EQ(format_wide(L"%c%C", L'\u0416', 'x'), L"\u0416x");
}

TEST(Format, NarrowFormatsTakeNarrowForLowerSAndWideForUpperS) {
    EXPECT_EQ(format_narrow("Processing: %S\n", L"Bin\\Game.EXE"), "Processing: Bin\\Game.EXE\n");
    EXPECT_EQ(format_narrow("Using cached: %s\n", "1/my%20file.txt"), "Using cached: 1/my%20file.txt\n");
    EXPECT_EQ(format_narrow("%S", L"\u0416"), "\xD0\x96");
    EXPECT_EQ(format_narrow("%c%C", 'a', L'b'), "ab");
}

TEST(Format, NumbersFollowTheCStandard) {
    EXPECT_EQ(format_wide(L"0x%08X.", 2u), L"0x00000002.");
    EXPECT_EQ(format_wide(L"0x%08X", 0xC0000135u), L"0xC0000135");
    EXPECT_EQ(format_wide(L"Downloading updates (%d%%)", 42), L"Downloading updates (42%)");
    EXPECT_EQ(format_wide(L"%u", 4294967295u), L"4294967295");
    EXPECT_EQ(format_wide(L"%d", INT_MIN), L"-2147483648");
    EXPECT_EQ(format_narrow("%llu %lld", 18446744073709551615ULL, -5LL), "18446744073709551615 -5");
    EXPECT_EQ(format_narrow("%zu", static_cast<std::size_t>(7)), "7");
    EXPECT_EQ(format_narrow("%5.1f|%-4d|%+d", 2.25, 7, 3), "  2.2|7   |+3");
    EXPECT_EQ(format_narrow("%x %o %hhu", 255u, 8u, 300), "ff 10 44");
}

TEST(Format, WidthPrecisionAndStarsApplyToStrings) {
    EXPECT_EQ(format_wide(L"[%5s][%-5s][%.2s]", L"ab", L"ab", L"abcd"), L"[   ab][ab   ][ab]");
    EXPECT_EQ(format_narrow("[%*d][%-*d][%.*s]", 4, 1, 3, 2, 1, "xyz"), "[   1][2  ][x]");
    EXPECT_EQ(format_narrow("[%*d]", -3, 1), "[1  ]");
    EXPECT_EQ(format_narrow("[%.*s]", -1, "xyz"), "[xyz]");
}

TEST(Format, EdgeCasesNeverReadWrongArguments) {
    EXPECT_EQ(format_wide(L"100%%"), L"100%");
    EXPECT_EQ(format_wide(L"%s", static_cast<const wchar_t*>(nullptr)), L"(null)");
    EXPECT_EQ(format_wide(L"trailing %"), L"trailing %");
    EXPECT_EQ(format_narrow("%q"), "%q");
    const std::wstring long_text(10000, L'x');
    EXPECT_EQ(format_wide(L"%s!", long_text.c_str()).size(), 10001u); // never truncated
}

TEST(Format, ByteSizesInTheLargestUnitBelow1024WithOneDecimal) {
    struct row {
        std::uint64_t bytes;
        const wchar_t* text;
    };
    const row rows[] = {
        {0, L"0 B"},
        {1023, L"1023 B"},
        {1024, L"1.0 KiB"},
        {1536, L"1.5 KiB"},
        {1075, L"1.0 KiB"},        // 1.0498 rounds down
        {1076, L"1.1 KiB"},        // 1.0508 rounds up
        {1048575, L"1.0 MiB"},     // 1023.999 KiB would print as 1024.0 KiB
        {315097088, L"300.5 MiB"}, // 300.5 MiB exactly
        {1288490189, L"1.2 GiB"},  // 1.2 GiB, rounded
        {UINT64_MAX, L"16.0 EiB"}, // no overflow at the top
        {1023ull << 50, L"1023.0 PiB"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(format_byte_size(r.bytes), r.text) << r.bytes;
}

} // namespace
} // namespace qz4
