#include "splash/status_line.hpp"

#include "common/encoding.hpp"
#include "splash/transfer_figures.hpp"

#include <gtest/gtest.h>

#include <cwchar>
#include <limits>

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

TEST(TransferFigures, CompactRatesAndTimes) {
    struct row {
        double rate;
        double seconds;
        const wchar_t* rate_text;
        const wchar_t* time_text;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const row rows[] = {
        {512, 7, L"512 B/s", L"0:07"},
        {1023.4, 0.2, L"1023 B/s", L"0:01"}, // a time left is rounded up: 0:00 only at the end
        {1023.6, 0, L"1.0 KiB/s", L"0:00"},
        {3.4 * 1024 * 1024, 83, L"3.4 MiB/s", L"1:23"},
        {1024.0 * 1024 - 1, 3599.5, L"1.0 MiB/s", L"1:00:00"},
        {1.1 * 1024 * 1024 * 1024, 3723, L"1.1 GiB/s", L"1:02:03"},
        {100, 99.0 * 3600, L"100 B/s", L"99:00:00"},
        {100, 99.0 * 3600 + 1, L"100 B/s", L""}, // beyond 99 hours an estimate says nothing
        {100, -1, L"100 B/s", L""},
        {100, inf, L"100 B/s", L""},
        {100, nan, L"100 B/s", L""},
        {0, 5, L"", L"0:05"},
        {-3, 5, L"", L"0:05"},
        {nan, 5, L"", L"0:05"},
        {inf, 5, L"", L"0:05"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "rate " << r.rate << " seconds " << r.seconds);
        EXPECT_EQ(rate_text(r.rate), r.rate_text);
        EXPECT_EQ(duration_text(r.seconds), r.time_text);
        const transfer_figures_text both = describe_transfer(r.rate, r.seconds, false);
        EXPECT_EQ(both.rate, r.rate_text);
        const std::wstring time = *r.rate_text && *r.time_text ? std::wstring(r.time_text) + L" left" : L"";
        EXPECT_EQ(both.time_left, time) << "a time left only beside a rate";
    }
    EXPECT_EQ(describe_transfer(2048, 83, true).time_left,
              L"\u043E\u0441\u0442\u0430\u043B\u043E\u0441\u044C 1:23");
}

// The figures sit beside the bar, never cut the status, and give way in order as the line
// narrows: the site label first, then the time left, then the rate.
TEST(StatusLine, TransferFiguresBesideTheBarGiveWayToTheStatus) {
    const std::wstring status = L"Downloading updates (42%)";
    const transfer_figures_text figures{L"3.4 MiB/s", L"1:23 left"};
    struct row {
        std::size_t columns;
        std::uint32_t total;
        const wchar_t* figures; // what follows the bar, or null for nothing
        bool site;
    };
    const row rows[] = {
        {120, 550, L"3.4 MiB/s, 1:23 left", true},
        {100, 550, L"3.4 MiB/s, 1:23 left", true},
        {80, 550, L"3.4 MiB/s, 1:23 left", false}, // the site would cut the status
        {60, 550, L"3.4 MiB/s", false},
        {40, 550, nullptr, true}, // no room for figures: the line as it always was
        {20, 550, nullptr, false},
        {120, 0, nullptr, true}, // no bar, no figures
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.columns << " columns, total " << r.total);
        const std::wstring line =
            utf8_to_wide(render_status_line(status, 231, r.total, site, r.columns, figures));
        EXPECT_EQ(line.size(), r.columns - 1);
        if (r.columns >= 60) {
            EXPECT_TRUE(line.starts_with(status + L" ")) << "the status stays whole";
        }
        EXPECT_EQ(line.find(site) != std::wstring::npos, r.site);
        const std::size_t bar_end = line.find(L']');
        if (r.figures == nullptr) {
            EXPECT_EQ(line.find(L"MiB/s"), std::wstring::npos);
            continue;
        }
        ASSERT_NE(bar_end, std::wstring::npos);
        EXPECT_EQ(line.substr(bar_end + 1, std::wcslen(r.figures) + 1), std::wstring(L" ") + r.figures);
    }
    // Without figures the line is what it always was.
    EXPECT_EQ(render_status_line(status, 1, 2, site, 80), render_status_line(status, 1, 2, site, 80, {}));
    const std::wstring bare = line_of(L"x", 1, 2, 80);
    EXPECT_TRUE(bare.ends_with(L"] " + site));
}

} // namespace
} // namespace qz4
