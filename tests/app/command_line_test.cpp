#include "app/command_line.hpp"
#include "app/game_start.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

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
        {L"prog a\\\\\\b", {L"prog", L"a\"\"b"}},       // three: dropped, then a quote for each
        {L"prog a\\\"\"b c\"", {L"prog", L"a\"b c"}},   // escaped quote, then a real one opens
        {L"prog a\"b c\"d", {L"prog", L"ab cd"}},
        {L"prog \"unterminated", {L"prog", L"unterminated"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "line " << testing::PrintToString(std::wstring(r.line)));
        EXPECT_EQ(split_command_line(r.line), r.expected);
    }
}

// The options a table row expects, from the defaults.
start_options with(void (*change)(start_options&)) {
    start_options options;
    change(options);
    return options;
}

TEST(StartOptions, FlagsMatchWholeTokensIgnoringAsciiCase) {
    struct row {
        tokens arguments; // after the program's own path
        start_options expected;
    };
    constexpr std::uint64_t kib = 1024;
    const row rows[] = {
        {{}, {}},
        {{L"-noupdate", L"-NoSelfUpdate", L"-PATCHMAKER", L"-Sleep", L"-RePair"}, with([](start_options& o) {
             o.no_update = o.patch_maker = o.sleep_after = o.repair = true;
             o.self_update_allowed = false;
         })},
        {{L"--noupdate", L"/noupdate", L"-noupdate=1", L"noupdate", L"-noupdat", L"-noselfupdates",
          L"-repair=1", L"-repairs"},
         {}},
        {{L"-NOUPDATE", L"x", L"-noupdate"}, with([](start_options& o) { o.no_update = true; })},
        {{L"-connections=1"}, with([](start_options& o) { o.connections = 1; })},
        {{L"-CONNECTIONS=16"}, with([](start_options& o) { o.connections = 16; })},
        {{L"-connections=007"}, with([](start_options& o) { o.connections = 7; })},
        {{L"-connections=3", L"-connections=9"}, with([](start_options& o) { o.connections = 9; })},
        {{L"-connections=3", L"-connections=17"}, with([](start_options& o) { o.connections = 3; })},
        // Out of range or no number: ignored, the default stays.
        {{L"-connections=0", L"-connections=17", L"-connections=", L"-connections=-2", L"-connections=+2",
          L"-connections= 2", L"-connections=2x", L"-connections=0x4", L"-connections=18446744073709551620",
          L"-connections", L"-connections:2", L"--connections=2", L"-connection=2"},
         {}},
        {{L"-maxrate=1"}, with([](start_options& o) { o.max_rate = kib; })},
        {{L"-MaxRate=512"}, with([](start_options& o) { o.max_rate = 512 * kib; })},
        {{L"-maxrate=4194304"}, with([](start_options& o) { o.max_rate = 4194304 * kib; })},
        {{L"-maxrate=0", L"-maxrate=4194305", L"-maxrate=", L"-maxrate=1.5", L"-maxrate=-1", L"-maxrate=1k",
          L"-maxrate=99999999999999999999999", L"-max-rate=10", L"-maxrate"},
         {}},
        {{L"-patchmaker", L"-connections=2", L"-maxrate=8", L"-repair"}, with([](start_options& o) {
             o.patch_maker = o.repair = true;
             o.connections = 2;
             o.max_rate = 8 * kib;
         })},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.arguments));
        tokens line = {L"prog"};
        line.insert(line.end(), r.arguments.begin(), r.arguments.end());
        const start_options got = parse_start_options(line);
        EXPECT_EQ(got, r.expected) << "patch maker " << got.patch_maker << ", sleep " << got.sleep_after
                                   << ", no update " << got.no_update << ", self-update "
                                   << got.self_update_allowed << ", repair " << got.repair << ", connections "
                                   << got.connections << ", max rate " << got.max_rate;
    }
    // The first token is the program itself, never a flag.
    EXPECT_EQ(parse_start_options({L"-noupdate"}), start_options{});
}

TEST(StartOptions, QuotedAndBackslashedFlagsFromARealCommandLine) {
    EXPECT_TRUE(parse_start_options(split_command_line(L"launcher.exe \"-noupdate\"")).no_update);
    EXPECT_TRUE(parse_start_options(split_command_line(L"launcher.exe -noupdate\\")).no_update);
    EXPECT_FALSE(parse_start_options(split_command_line(L"launcher.exe \"-noupdate \"")).no_update);
}

// Random texts over an alphabet that always holds letters, a tab, a Cyrillic letter and a
// character outside the Basic Multilingual Plane, plus the given specials.
class random_texts {
public:
    explicit random_texts(std::uint32_t seed) : generator_(seed) {}

    std::wstring text(std::wstring_view specials, std::size_t min_length, std::size_t max_length) {
        const std::wstring alphabet = std::wstring(L"aZ-_.=:\t\u0416\U0001F600") + std::wstring(specials);
        std::wstring result;
        const std::size_t length = pick(min_length, max_length);
        for (std::size_t i = 0; i < length; ++i)
            result += alphabet[pick(0, alphabet.size() - 1)];
        return result;
    }
    tokens list(std::wstring_view specials) {
        tokens result(pick(0, 6));
        for (auto& argument : result)
            argument = text(specials, 0, 8);
        return result;
    }

private:
    std::size_t pick(std::size_t low, std::size_t high) {
        return std::uniform_int_distribution<std::size_t>(low, high)(generator_);
    }
    std::mt19937 generator_;
};

tokens cut_at_spaces(const tokens& arguments) {
    tokens pieces;
    for (const auto& argument : arguments) {
        std::size_t start = 0;
        while (start <= argument.size()) {
            const std::size_t end = std::min(argument.find(L' ', start), argument.size());
            if (end > start)
                pieces.push_back(argument.substr(start, end - start));
            start = end + 1;
        }
    }
    return pieces;
}

// The game's command line is the quoted path and the launcher's arguments as they are, so
// what the game's own split gives back depends on what the arguments hold:
// - the path comes back whole whenever it is not empty and holds no double quote;
// - a list of non-empty arguments without spaces, double quotes and backslashes comes back
//   unchanged;
// - with spaces too (still no quotes or backslashes) each argument comes back cut at its
//   spaces, and empty arguments vanish;
// - a double quote or a backslash changes the arguments (below).
TEST(GameCommandLine, WhichArgumentListsSurviveTheRoundTrip) {
    random_texts random(20240611);
    for (int round = 0; round < 2000; ++round) {
        const std::wstring path = random.text(L" \\", 1, 20);
        SCOPED_TRACE(testing::Message() << "round " << round);

        tokens plain = random.list(L"");
        std::erase(plain, std::wstring());
        tokens expected = {path};
        expected.insert(expected.end(), plain.begin(), plain.end());
        EXPECT_EQ(split_command_line(game_command_line(path, plain)), expected);

        const tokens spaced = random.list(L" ");
        expected = {path};
        const tokens pieces = cut_at_spaces(spaced);
        expected.insert(expected.end(), pieces.begin(), pieces.end());
        EXPECT_EQ(split_command_line(game_command_line(path, spaced)), expected);

        const tokens any = random.list(L" \"\\");
        const tokens seen = split_command_line(game_command_line(path, any));
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.front(), path);
    }

    struct row {
        tokens arguments;
        tokens seen;
    };
    // Quotes are dropped or paired anew; a backslash is dropped, turns a second one into a
    // quote, and even reaches across the space into the next argument.
    const row rows[] = {
        {{L"a\"b"}, {L"ab"}}, {{L"\"a b\""}, {L"a b"}}, {{L"\"x", L"y"}, {L"x y"}},
        {{L"a\\b"}, {L"ab"}}, {{L"a\\\\b"}, {L"a\"b"}}, {{L"a\\", L"\\b"}, {L"a", L"\"b"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.arguments));
        tokens expected = {L"C:\\Program Files\\Game\\Client.exe"};
        expected.insert(expected.end(), r.seen.begin(), r.seen.end());
        EXPECT_EQ(split_command_line(game_command_line(expected.front(), r.arguments)), expected);
    }
}

} // namespace
} // namespace qz4
