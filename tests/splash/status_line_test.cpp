#include "splash/status_line.hpp"

#include "common/encoding.hpp"

#include <gtest/gtest.h>

namespace qz4 {
namespace {

const std::wstring site = L"\u00ABtarnwood-game.net\u00BB";

std::wstring line_of(const std::wstring& status, std::uint32_t value, std::uint32_t total,
                     std::size_t columns, const std::wstring& label = site) {
    return utf8_to_wide(render_status_line(status, value, total, label, columns));
}

TEST(StatusLine, StatusLeftSiteRightAndNoWrapColumn) {
    const std::wstring line = line_of(L"Starting...", 0, 0, 80);
    EXPECT_EQ(line.size(), 79u);
    EXPECT_TRUE(line.starts_with(L"Starting..."));
    EXPECT_TRUE(line.ends_with(site));
    EXPECT_EQ(line.find(L'['), std::wstring::npos); // a total of 0 shows no bar
}

TEST(StatusLine, BarUsesTheSameMinimumAndFullWidthRules) {
    const auto bar_of = [](std::uint32_t value, std::uint32_t total) {
        const std::wstring line = line_of(L"Checking files", value, total, 100);
        const std::size_t open = line.find(L'[');
        return line.substr(open + 1, line.find(L']') - open - 1);
    };
    const std::wstring third = bar_of(1, 3);
    EXPECT_EQ(third.size(), 24u);                               // a quarter of the 99 usable columns
    EXPECT_EQ(std::count(third.begin(), third.end(), L'#'), 8); // 24 / 3
    const std::wstring tiny = bar_of(1, 100000);
    EXPECT_EQ(std::count(tiny.begin(), tiny.end(), L'#'), 1); // never empty while there is a total
    const std::wstring over = bar_of(9, 3);
    EXPECT_EQ(std::count(over.begin(), over.end(), L'#'), 24);
}

TEST(StatusLine, NarrowTerminalsCutTheStatusAndDropTheSite) {
    const std::wstring status(200, L'x');
    const std::wstring line = line_of(status, 1, 2, 60);
    EXPECT_EQ(line.size(), 59u);
    EXPECT_TRUE(line.ends_with(site));
    const std::wstring narrow = line_of(L"\u0417\u0430\u043F\u0443\u0441\u043A...", 1, 2, 20);
    EXPECT_EQ(narrow.size(), 19u);
    EXPECT_EQ(narrow.find(site), std::wstring::npos);
    EXPECT_NE(narrow.find(L'['), std::wstring::npos);
    EXPECT_EQ(line_of(L"a", 0, 0, 0).size(), 19u); // unknown width: never below the narrowest line
}

TEST(StatusLine, ControlCharactersCannotMoveTheCursor) {
    const std::wstring line = line_of(L"bad\r\n\x1b[2Jtext", 0, 0, 80, L"\x1b]0;x\x07");
    EXPECT_EQ(line.find_first_of(L"\r\n\x1b\x07"), std::wstring::npos);
}

} // namespace
} // namespace qz4
