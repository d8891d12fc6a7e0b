#include "app/command_line.hpp"

#include <gtest/gtest.h>

namespace qz4 {
namespace {

using tokens = std::vector<std::wstring>;

TEST(SplitCommandLine, Table) {
    struct row {
        const wchar_t* line;
        tokens expected;
    };
    const row rows[] = {
        {L"prog a b", {L"prog", L"a", L"b"}},
        {L"  prog   a  ", {L"prog", L"a"}},
        {L"", {}},
        {L"prog a\tb", {L"prog", L"a\tb"}}, // tabs are ordinary characters
        {L"\"C:\\Program Files\\Game\\launcher.exe\" -noupdate",
         {L"C:\\Program Files\\Game\\launcher.exe", L"-noupdate"}},
        {L"prog \"a b\" c", {L"prog", L"a b", L"c"}},
        {L"prog \"\" x", {L"prog", L"x"}}, // an empty token is never produced
        {L"prog \"-noupdate\"", {L"prog", L"-noupdate"}},
        {L"prog -noupdate\\", {L"prog", L"-noupdate"}}, // a lone backslash is dropped
        {L"prog a\\\\b", {L"prog", L"a\"b"}},           // a backslash pair yields a quote
        {L"prog \\\"x", {L"prog", L"\"x"}},             // backslash-quote is a literal quote
        {L"prog a\\ \\b", {L"prog", L"a", L"\"b"}},     // after-backslash survives the space
        {L"prog \"a\\\"b\"", {L"prog", L"a\\b"}},       // inside quotes a backslash is kept
        {L"prog a\"b c\"d", {L"prog", L"ab cd"}},
        {L"prog \"unterminated", {L"prog", L"unterminated"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "line " << testing::PrintToString(std::wstring(r.line)));
        EXPECT_EQ(split_command_line(r.line), r.expected);
    }
}

TEST(StartOptions, FlagsMatchWholeTokensIgnoringAsciiCase) {
    const auto options = parse_start_options({L"-noupdate", L"-NoSelfUpdate", L"-PATCHMAKER", L"-Sleep"});
    // The first token is the program itself, never a flag.
    EXPECT_FALSE(options.no_update);
    EXPECT_FALSE(options.self_update_allowed);
    EXPECT_TRUE(options.patch_maker);
    EXPECT_TRUE(options.sleep_after);

    const auto none = parse_start_options(
        {L"prog", L"--noupdate", L"/noupdate", L"-noupdate=1", L"noupdate", L"-noupdat", L"-noselfupdates"});
    EXPECT_FALSE(none.no_update);
    EXPECT_TRUE(none.self_update_allowed);
    EXPECT_FALSE(none.patch_maker);
    EXPECT_FALSE(none.sleep_after);

    const auto twice = parse_start_options({L"prog", L"-NOUPDATE", L"x", L"-noupdate"});
    EXPECT_TRUE(twice.no_update);
}

TEST(StartOptions, QuotedAndBackslashedFlagsFromARealCommandLine) {
    EXPECT_TRUE(parse_start_options(split_command_line(L"launcher.exe \"-noupdate\"")).no_update);
    EXPECT_TRUE(parse_start_options(split_command_line(L"launcher.exe -noupdate\\")).no_update);
    EXPECT_FALSE(parse_start_options(split_command_line(L"launcher.exe \"-noupdate \"")).no_update);
}

} // namespace
} // namespace qz4
