// The publisher's input as an attacker may have left it: links that lead out of input/ or
// round in circles, names that our paths would read as other files, and a cache.json whose
// records lead out of output/. Nothing outside input/ is ever published, and whatever is
// published can be fetched.
#include "common/encoding.hpp"
#include "common/sha1.hpp"
#include "signatures/signatures.hpp"
#include "tests/patchmaker/patch_maker_support.hpp"
#include "tests/support/system_probe.hpp"
#include "update/documents/manifests.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace qz4 {
namespace {

namespace fs = std::filesystem;
using test::publisher_dir;

constexpr char canary[] = "CANARY 5d1f0c7e: this must never reach output/";

// A publisher with a signing key and a canary beside input/, and two files in it.
class Hostile {
public:
    Hostile() {
        publisher.configure();
        key_text = signing_key::generate().key_file_text();
        test::write_file(native("signing.key"), key_text);
        fs::permissions(native("signing.key"), fs::perms::owner_read | fs::perms::owner_write);
        test::write_file(native("canary.txt"), canary);
        publisher.add_input("a.txt", "alpha");
        publisher.add_input("data/b.txt", "beta");
    }

    [[nodiscard]] fs::path native(const std::string& relative) const {
        return publisher.dir().native(relative);
    }
    [[nodiscard]] std::string shown(const std::string& relative) const {
        return test::shown(wide_to_utf8(publisher.dir().wide(relative)));
    }

    // Nothing from beside input/ is anywhere in output/, packed or not: neither the canary,
    // nor the key's secret half, nor the maker's settings from config.json.
    [[nodiscard]] testing::AssertionResult output_is_clean() const {
        const std::string needles[] = {canary, key_text.substr(0, 64), "optimize_threshold"};
        for (const auto& entry : fs::recursive_directory_iterator(native("output"))) {
            if (entry.is_symlink())
                return testing::AssertionFailure() << "a link in output: " << entry.path();
            if (!entry.is_regular_file())
                continue;
            std::string content = test::read_file(entry.path());
            if (entry.path().extension() == ".lzma2")
                content =
                    test::unpack_to_string(publisher.dir(), fs::relative(entry.path(), native("")).string());
            for (const auto& needle : needles)
                if (content.find(needle) != std::string::npos)
                    return testing::AssertionFailure() << entry.path() << " holds " << needle;
        }
        if (test::read_file(native("signing.key")) != key_text)
            return testing::AssertionFailure() << "signing.key was changed or deleted";
        return testing::AssertionSuccess();
    }

    [[nodiscard]] std::vector<std::string> published(std::uint32_t update) const {
        std::vector<std::string> names;
        const nlohmann::json index = publisher.read_json("output/" + std::to_string(update) + "/index.json");
        for (const auto& record : index.at("files"))
            names.push_back(record.at("l"));
        return names;
    }

    publisher_dir publisher;
    std::string key_text;
};

TEST(HostileInput, LinksAreSkippedAndNothingOutsideTheInputIsRead) {
    struct link {
        std::string name; // below input/
        std::string target;
        bool directory;
    };
    struct row {
        const char* what;
        std::vector<link> links;
    };
    const std::string outside_canary = "../canary.txt";
    const row rows[] = {
        {"the publisher's folder", {{"a", "..", true}}},
        {"a file outside", {{"secret.txt", outside_canary, false}}},
        {"the key itself", {{"data/key.txt", "../../signing.key", false}}},
        {"loops", {{"loop", "loop", false}, {"x", ".", true}, {"data/up", "..", true}}},
        {"a dead link", {{"gone.txt", "missing.txt", false}}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        Hostile hostile;
        for (const auto& l : r.links) {
            std::error_code error;
            const fs::path path = hostile.native("input/" + l.name);
            if (l.directory)
                fs::create_directory_symlink(l.target, path, error);
            else
                fs::create_symlink(l.target, path, error);
            if (error)
                GTEST_SKIP() << "this system makes no link here: " << error.message();
        }
        const auto run = hostile.publisher.run();
        ASSERT_TRUE(run.completed) << run.console;
        for (const auto& l : r.links) {
            const std::string line = "Skipped (link): " + hostile.shown("input/" + l.name) + "\n";
            EXPECT_NE(run.console.find(line), std::string::npos) << run.console;
        }
        EXPECT_EQ(hostile.published(1), (std::vector<std::string>{"a.txt", "data\\b.txt"}));
        EXPECT_TRUE(hostile.output_is_clean());
    }
}

// POSIX names that Windows cannot hold, and that our Windows-form paths would read as other
// files ("..\signing.key" is the key beside input/; one level further its copy's name would
// delete it). Each fails the run as an unreadable file does, and says which name and why.
TEST(HostileInput, NamesWindowsCannotHoldFailTheRunPosix) {
    if (const auto reason = test::posix_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    struct row {
        std::string name; // directly in input/
        bool directory;
        std::string shown;
        const char* reason;
    };
    const row rows[] = {
        {"..\\signing.key", false, "..\\signing.key", "the name holds a path separator (\\ or /)"},
        {"..\\..\\signing.key", false, "..\\..\\signing.key", "the name holds a path separator (\\ or /)"},
        {"..\\..", true, "..\\..", "the name holds a path separator (\\ or /)"},
        {"what?.txt", false, "what?.txt", "the name holds one of : < > \" | ? *"},
        {"a:b", false, "a:b", "the name holds one of : < > \" | ? *"},
        {"trailing.", false, "trailing.", "the name ends in a dot or a space"},
        {"dir ", true, "dir ", "the name ends in a dot or a space"},
        {"nul.txt", false, "nul.txt", "the name is a Windows device name"},
        {"\xFF.bin", false, "\xEF\xBF\xBD.bin", "the name is not valid Unicode text (UTF-8 or UTF-16)"},
        {"\x1B[2Jclear", false, "\\x1B[2Jclear", "the name holds a control character"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.shown);
        Hostile hostile;
        const fs::path path = hostile.native("input") / r.name;
        if (r.directory)
            test::write_file(path / "signing.key", "inside a folder that is refused");
        else
            test::write_file(path, "refused");
        const auto run = hostile.publisher.run();
        EXPECT_FALSE(run.completed);
        const std::string line =
            "!!! Unusable name: \"" + r.shown + "\" in " + hostile.shown("input") + ": " + r.reason + "\n";
        EXPECT_NE(run.console.find(line), std::string::npos) << run.console;
        EXPECT_TRUE(run.console.ends_with("Nothing was published: 1 file(s) failed.\n")) << run.console;
        EXPECT_FALSE(fs::exists(hostile.native("output/version.json")));
        EXPECT_TRUE(hostile.output_is_clean());
    }
}

// '#' and '?' end a URL's path and '%' starts an escape: every such name gets an `r` that
// fetches it, whose decoding names the copy holding the file, and the next run finds it again.
TEST(HostileInput, EveryNameIsPublishedUnderAnAddressThatFetchesIt) {
    publisher_dir publisher;
    publisher.configure(0, true, 100, 85);
    const std::vector<std::string> names = {
        "#1 100% \xC3\xBC.txt",
        "%41.txt",
        "a+b&c=d;e,f'g(h)!@$~.cfg",
        "\xD0\x94\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5/#2 big.txt",
    };
    for (std::size_t i = 0; i < names.size(); ++i)
        publisher.add_input(names[i], test::text_of(60 + i * 200));
    const auto first = publisher.run();
    ASSERT_TRUE(first.completed) << first.console;
    const nlohmann::json index = publisher.read_json("output/1/index.json");
    ASSERT_EQ(index.at("files").size(), names.size());
    for (const auto& record : index.at("files")) {
        const std::string remote = record.at("r");
        SCOPED_TRACE(remote);
        EXPECT_EQ(remote.find_first_of("#? "), std::string::npos);
        const auto below = server_copy_path(remote);
        ASSERT_TRUE(below.has_value());
        const std::string copy = "output/" + wide_to_utf8(*below);
        const std::string input =
            test::read_file(publisher.dir().native("input/" + record.at("l").get<std::string>()));
        EXPECT_EQ(record.contains("r_pack") ? test::unpack_to_string(publisher.dir(), copy)
                                            : test::read_file(publisher.dir().native(copy)),
                  input);
    }
    const auto second = publisher.run();
    EXPECT_NE(second.console.find("No update detected.\n"), std::string::npos) << second.console;
    EXPECT_EQ(second.console.find("Processing"), std::string::npos) << second.console;
}

// A cache.json from an older version, or written by an attacker. The record's digest is that
// of the file its `r` would lead to if followed, so only a refusal to follow it makes the
// run publish the file anew; a record a launcher can fetch is reused as it stands.
TEST(HostileInput, CachedRecordsAreReusedOnlyWhenTheyNameACopyInTheOutput) {
    struct row {
        std::string input;     // the file's name in input/
        std::string remote;    // the `r` cache.json holds for it
        const char* digest_of; // the file whose digest the record carries, below the publisher
        bool reused;
    };
    const row rows[] = {
        {"a.txt", "../signing.key", "signing.key", false},
        {"a.txt", "1/../../signing.key", "signing.key", false},
        {"a.txt", "1/%2E%2E/%2E%2E/signing.key", "signing.key", false},
        {"a.txt", "1/..%2F..%2Fsigning.key", "signing.key", false},
        {"a.txt", "1/%2E%2E%5C%2E%2E%5Ccanary.txt", "canary.txt", false},
        // Older records: raw '%' and '#' were never fetched; "%20" and raw UTF-8 were.
        {"100%.txt", "1/100%.txt", "output/1/100%.txt", false},
        {"a#b.txt", "1/a#b.txt", "output/1/a#b.txt", false},
        {"my file.txt", "1/my%20file.txt", "output/1/my file.txt", true},
        {"\xD0\x94.txt", "1/\xD0\x94.txt", "output/1/\xD0\x94.txt", true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.remote);
        Hostile hostile;
        hostile.publisher.add_input(r.input, "gamma");
        ASSERT_TRUE(hostile.publisher.run().completed);
        nlohmann::json cache = hostile.publisher.read_json("cache.json");
        std::string key = r.input;
        std::transform(key.begin(), key.end(), key.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
        nlohmann::json& record = cache.at(key).at("data");
        record["r"] = r.remote;
        record["l_sha1"] = sha1_text(test::read_file(hostile.native(r.digest_of)));
        test::write_file(hostile.native("cache.json"), cache.dump());

        const auto run = hostile.publisher.run();
        ASSERT_TRUE(run.completed) << run.console;
        const bool reused = run.console.find("Using cached: " + r.remote + "\n") != std::string::npos;
        EXPECT_EQ(reused, r.reused) << run.console;
        if (!r.reused) {
            EXPECT_NE(run.console.find("Checksum mismatch for output file: "), std::string::npos)
                << run.console;
            EXPECT_NE(run.console.find("Processing: " + r.input + "\n"), std::string::npos) << run.console;
            const nlohmann::json index = hostile.publisher.read_json("output/2/index.json");
            for (const auto& published : index.at("files")) {
                if (published.at("l") == r.input) {
                    EXPECT_EQ(published.at("r"), remote_path_text(2, utf8_to_wide(key), false));
                }
            }
        }
        EXPECT_TRUE(hostile.output_is_clean());
    }
}

} // namespace
} // namespace qz4
