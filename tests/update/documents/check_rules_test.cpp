// Path patterns and the rules built from a configuration's `check` object.
#include "update/documents/check_rules.hpp"

#include <gtest/gtest.h>

#include <random>

namespace qz4 {
namespace {

using nlohmann::json;

// The matching rule written the obvious way (exponential on hostile patterns): the fast one
// must agree with it everywhere.
bool reference_match(std::wstring_view p, std::wstring_view t) {
    std::size_t j = 0;
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (p[i] == L'*') {
            if (i + 1 == p.size())
                return true;
            for (std::size_t k = j; k < t.size(); ++k)
                if (reference_match(p.substr(i + 1), t.substr(k)))
                    return true;
            return false;
        }
        if (j == t.size() || (p[i] != L'?' && p[i] != t[j]))
            return false;
        ++j;
    }
    return j == t.size();
}

TEST(WildcardMatch, Semantics) {
    struct row {
        const wchar_t* pattern;
        const wchar_t* text;
        bool match;
    };
    const row rows[] = {
        {L"*", L"", true},         {L"*", L"abc", true},
        {L"a*", L"a", true},       {L"a**", L"a", false},
        {L"a**", L"ab", true},     {L"*.exe", L"a.exe", true},
        {L"*.exe", L".exe", true}, {L"*.exe", L"a.exe.bak", false},
        {L"*.*", L"a.b", true},    {L"*.*", L"a.", true},
        {L"*.*", L"a", false},     {L"*.*", L".", true},
        {L"?", L"", false},        {L"?", L"a", true},
        {L"??", L"a", false},      {L"", L"", true},
        {L"", L"a", false},        {L"a", L"", false},
        {L"*a", L"", false},       {L"*a", L"a", true},
        {L"*a", L"ba", true},      {L"a?c", L"abc", true},
        {L"a?c", L"ac", false},    {L"ä*", L"äx", true},
        {L"Game", L"game", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "pattern '" << r.pattern << "' text '" << r.text << "'");
        EXPECT_EQ(wildcard_match(r.pattern, r.text), r.match);
        EXPECT_EQ(reference_match(r.pattern, r.text), r.match);
    }
}

TEST(WildcardMatch, AgreesWithTheObviousRule) {
    std::mt19937 random(4);
    const auto make = [&](const wchar_t* alphabet, std::size_t alphabet_size, std::size_t max_length) {
        std::wstring text(random() % (max_length + 1), L' ');
        for (auto& c : text)
            c = alphabet[random() % alphabet_size];
        return text;
    };
    for (int i = 0; i < 20000; ++i) {
        const std::wstring pattern = make(L"ab*?", 4, 7);
        const std::wstring text = make(L"ab", 2, 7);
        ASSERT_EQ(wildcard_match(pattern, text), reference_match(pattern, text))
            << "pattern '" << pattern << "' text '" << text << "'";
    }
}

TEST(WildcardMatch, HostilePatternsStayFast) {
    std::wstring pattern;
    for (int i = 0; i < 200; ++i)
        pattern += L"a*";
    pattern += L"b";
    const std::wstring text(2000, L'a');
    EXPECT_FALSE(wildcard_match(pattern, text));
    EXPECT_TRUE(wildcard_match(pattern, text + L"b"));
}

TEST(PathMatching, NormalizeAndMatch) {
    EXPECT_EQ(normalize_path(L"  Client/Sub/Game.EXE \t"), L"client\\sub/game.exe");
    EXPECT_EQ(normalize_path(L"ÄB\\C"), L"Äb\\c") << "only A to Z are folded";

    struct row {
        const wchar_t* pattern;
        const wchar_t* path;
        bool match;
    };
    const row rows[] = {
        {L"client\\*.exe", L"client\\game.exe", true},
        {L"client\\*.exe", L"client\\bin\\game.exe", false},
        {L"client\\*.exe", L"game.exe", false},
        {L"client\\*.exe", L"client\\a.exe.bak", false},
        {L"client/*.exe", L"client\\game.exe", true},
        {L"a\\b\\c", L"a/b/c", false},
        {L"a/b/c", L"a/b/c", true},
        {L"a\\b/c", L"a/b/c", false},
        {L"CLIENT\\*.EXE", L"client\\Game.exe", true},
        {L" client\\*.exe ", L"\tclient\\game.exe", true},
        {L"client\\my *.exe", L"client\\my game.exe", true},
        {L"client\\my *.exe", L"client\\mygame.exe", false},
        {L"config\\*.*", L"config\\a.b", true},
        {L"config\\*.*", L"config\\a.", true},
        {L"config\\*.*", L"config\\a", false},
        {L"*\\*", L"\\x", true},
        {L"a\\*", L"a\\", true},
        {L"a\\*", L"a", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "pattern '" << r.pattern << "' path '" << r.path << "'");
        EXPECT_EQ(path_matches(normalize_path(r.pattern), normalize_path(r.path)), r.match);
    }
}

TEST(PatternSet, AddAndMatch) {
    pattern_set set;
    EXPECT_FALSE(set.matches(L"anything"));
    set.add_pattern("CLIENT\\*.EXE");
    set.add_pattern("client/*.exe");
    set.add_pattern("данные\\*");
    EXPECT_TRUE(set.matches(L"client\\Game.exe"));
    EXPECT_TRUE(set.matches(L"ДАННЫЕ\\x") == false) << "Cyrillic is not folded";
    EXPECT_TRUE(set.matches(L"данные\\x"));
    EXPECT_FALSE(set.matches(L"client\\bin\\game.exe"));
}

class CheckRules : public testing::Test {
protected:
    bool build(const char* config_text, std::uint32_t version = 3) {
        return build_check_rules(json::parse(config_text), version, L"C:\\Games", rules);
    }
    check_rules rules;
};

TEST_F(CheckRules, FromTheTemplate) {
    ASSERT_TRUE(build(R"({"check": {"cache": true, "hard_check": ["client\\*.exe", "client\\*.dll"],
                                    "soft_check": ["config\\*.*"], "acceptable_checksums": []}})"));
    EXPECT_TRUE(rules.hard_patterns.matches(L"client\\Game.exe"));
    EXPECT_TRUE(rules.hard_patterns.matches(L"client\\x.dll"));
    EXPECT_FALSE(rules.hard_patterns.matches(L"config\\a.b"));
    EXPECT_TRUE(rules.soft_patterns.matches(L"config\\a.b"));
    EXPECT_TRUE(rules.accepted.empty());
}

TEST_F(CheckRules, ListShapes) {
    ASSERT_TRUE(build(R"({"check": {"hard_check": "client\\*.exe"}})"));
    EXPECT_TRUE(rules.hard_patterns.matches(L"client\\a.exe")) << "a single string is a list of one";
    EXPECT_TRUE(rules.soft_patterns.empty());
    for (const char* text : {R"({})", R"({"check": null})", R"({"check": {}})", R"(null)",
                             R"({"check": {"hard_check": null, "soft_check": []}})"}) {
        SCOPED_TRACE(text);
        ASSERT_TRUE(build(text));
        EXPECT_TRUE(rules.hard_patterns.empty());
        EXPECT_TRUE(rules.soft_patterns.empty());
        EXPECT_TRUE(rules.accepted.empty());
    }
}

TEST_F(CheckRules, UnexpectedTypesAreABadConfiguration) {
    for (const char* text : {
             R"({"check": "client\\*.exe"})",
             R"({"check": ["client\\*.exe"]})",
             R"({"check": {"hard_check": [1]}})",
             R"({"check": {"soft_check": 5}})",
             R"({"check": {"hard_check": ["a", ["b"]]}})",
             R"({"check": {"acceptable_checksums": [{"file": 5, "checksums": ["a"]}]}})",
             R"({"check": {"acceptable_checksums": [{"checksums": ["a"]}]}})",
             R"({"check": {"acceptable_checksums": [{"file": "a", "checksums": ["a", 7]}]}})",
             R"({"check": {"acceptable_checksums": ["a"]}})",
             R"({"check": {"acceptable_checksums": 3}})",
             R"([1])",
         }) {
        SCOPED_TRACE(text);
        rules.hard_patterns.add_pattern("left over");
        EXPECT_FALSE(build(R"({"check": {"hard_check": ["x"]}})") && build(text));
        EXPECT_TRUE(rules.hard_patterns.empty()) << "nothing half-built is left";
        EXPECT_TRUE(rules.accepted.empty());
    }
}

TEST_F(CheckRules, AcceptableChecksums) {
    const char* config = R"({"check": {"acceptable_checksums": [
        {"file": "client\\game.exe", "checksums": ["  AAA\t", "bbb"]},
        {"file": "client/Game.exe", "checksums": ["ccc", "ccc"]},
        {"file": "client\\x.dll", "checksums": "not an array"},
        {"file": "client\\y.dll", "checksums": []},
        {"file": "client\\*.cfg", "checksums": ["ddd"]}
    ]}})";
    ASSERT_TRUE(build(config, 2));
    EXPECT_TRUE(rules.accepted.empty()) << "version 2 ignores acceptable_checksums";

    ASSERT_TRUE(build(config, 3));
    const accepted_digests expected = {
        {L"c:\\games\\client\\*.cfg", {"ddd"}},
        {L"c:\\games\\client\\game.exe", {"ccc"}}, // the later element for the same file wins
    };
    EXPECT_EQ(rules.accepted, expected);
}

TEST_F(CheckRules, AcceptedDigestTest) {
    ASSERT_TRUE(build(R"({"check": {"acceptable_checksums": [
        {"file": "client\\game.exe", "checksums": ["  ABCdef \n"]},
        {"file": "client\\*.exe", "checksums": ["111"]},
        {"file": "data\\*", "checksums": [""]}
    ]}})"));
    struct row {
        const wchar_t* path;
        const char* digest;
        bool accepted;
    };
    const row rows[] = {
        {L"C:\\Games\\client\\Game.exe", "abcDEF", false}, // client\*.exe sorts first and decides
        {L"C:\\Games\\client\\Game.exe", "111", true},     {L"C:\\Games\\client\\other.exe", "111", true},
        {L"C:\\Games\\client\\other.exe", "1111", false},  {L"C:\\Games\\client\\other.dll", "111", false},
        {L"C:\\Games\\data\\empty.bin", "", true},         {L"C:\\Games\\data\\empty.bin", "abc", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.path << " " << r.digest);
        EXPECT_EQ(digest_accepted(rules.accepted, r.path, r.digest), r.accepted);
    }

    ASSERT_TRUE(build(R"({"check": {"acceptable_checksums": [
        {"file": "client\\game.exe", "checksums": ["  ABCdef \n"]}]}})"));
    EXPECT_TRUE(digest_accepted(rules.accepted, L"C:\\Games\\client\\Game.exe", "abcdef"))
        << "blanks around a listed digest do not count, nor does A-Z case";
}

} // namespace
} // namespace qz4
