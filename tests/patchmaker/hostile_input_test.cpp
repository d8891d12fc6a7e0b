// The publisher's input as an attacker may have left it: links that lead out of input/ or
// round in circles, names that our paths would read as other files. Nothing outside input/ is
// ever published.
#include "common/encoding.hpp"
#include "signatures/signatures.hpp"
#include "tests/patchmaker/patch_maker_support.hpp"
#include "tests/support/system_probe.hpp"

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

} // namespace
} // namespace qz4
