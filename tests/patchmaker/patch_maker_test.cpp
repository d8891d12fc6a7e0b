// Whole runs of the patch maker on a publisher's directory, checked against the documents'
// exact bytes and the console texts.
#include "common/encoding.hpp"
#include "common/sha1.hpp"
#include "common/sha256.hpp"
#include "tests/patchmaker/patch_maker_support.hpp"
#include "update/documents/file_cache.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace qz4 {
namespace {

namespace fs = std::filesystem;
using test::publisher_dir;
using test::text_of;

const nlohmann::json* record_for(const nlohmann::json& index, const std::string& l) {
    for (const auto& record : index.at("files"))
        if (record.at("l") == l)
            return &record;
    return nullptr;
}

TEST(PatchMaker, FirstStartWritesTheTemplateWithAFreshGuidAndTheKeyAndStops) {
    publisher_dir publisher;
    const auto run = publisher.run();
    EXPECT_FALSE(run.completed);
    EXPECT_EQ(run.console, test::key_created_lines(publisher) +
                               "Configuration file created. Edit config.json and start tool again.\n");
    EXPECT_TRUE(fs::is_directory(publisher.dir().native("input")));
    EXPECT_TRUE(fs::is_directory(publisher.dir().native("output")));
    const std::string text = test::read_file(publisher.dir().native("config.json"));
    const nlohmann::json configuration = nlohmann::json::parse(text);
    const std::string guid = configuration.at("client").at("guid");
    EXPECT_TRUE(
        std::regex_match(guid, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")));
    EXPECT_EQ(text, json_text_pretty(publisher_config_template(guid)));
    EXPECT_TRUE(text.ends_with("}\r\n"));
    EXPECT_FALSE(fs::exists(publisher.dir().native("cache.json")));
}

// 2025-06-15 15:06:40 UTC: what the runs of these tests take as the time.
constexpr std::uint64_t run_time = 1'750'000'000;

TEST(PatchMaker, EmptyInputPublishesUpdateZeroWithoutFiles) {
    publisher_dir publisher;
    publisher.configure();
    publisher.clock = test::clock_at(run_time);
    const auto run = publisher.run();
    EXPECT_TRUE(run.completed);
    EXPECT_EQ(run.console,
              test::key_created_lines(publisher) +
                  "Brightgate\nChecking files...\nNo change in files detected. Comparing cache...\n"
                  "No update detected.\nSaving update index.\nFinished!\n\n"
                  "Minimum referenced version: 4294967295\nCurrent game update version: 0\n"
                  "version.json signed, valid until 2025-07-15 15:06:40 UTC\n");
    EXPECT_EQ(test::read_file(publisher.dir().native("output/version.json")),
              "{\"expires\":1752592000,\"gameupdate\":0}\r\n");
    const std::string index = test::read_file(publisher.dir().native("output/0/index.json"));
    EXPECT_EQ(index,
              json_text_compact(index_document(publisher.read_json("config.json").at("client"), nullptr)));
    EXPECT_TRUE(nlohmann::json::parse(index).at("files").is_null());
    EXPECT_EQ(test::unpack_to_string(publisher.dir(), "output/0/index.json.lzma2"), index);
}

class PublishedTree : public testing::Test {
protected:
    void SetUp() override {
        publisher_.configure();
        publisher_.clock = test::clock_at(run_time);
        publisher_.add_input("small.cfg", "volume=7\n");
        publisher_.add_input("Bin/Game.EXE", test::random_bytes(20000, 3));
        publisher_.add_input("Data/My File.txt", text_of(100000));
        first_ = publisher_.run();
        ASSERT_TRUE(first_.completed) << first_.console;
    }
    publisher_dir publisher_;
    publisher_dir::result first_;
};

TEST_F(PublishedTree, FirstRunPublishesEveryFileUnderUpdateOne) {
    EXPECT_EQ(first_.console,
              test::key_created_lines(publisher_) +
                  "Brightgate\nChecking files...\nProcessing: small.cfg\nProcessing: " +
                  test::shown("Bin\\Game.EXE") + "\nProcessing: " + test::shown("Data\\My File.txt") +
                  "\nSaving config file.\nSaving update index.\n"
                  "Finished!\n\nMinimum referenced version: 1\nCurrent game update version: 1\n"
                  "version.json signed, valid until 2025-07-15 15:06:40 UTC\n");
    EXPECT_EQ(publisher_.read_json("config.json").at("maker").at("gameupdate"), 1);
    EXPECT_EQ(publisher_.read_json("output/version.json").at("gameupdate"), 1);
    const nlohmann::json index = publisher_.read_json("output/1/index.json");
    ASSERT_EQ(index.at("files").size(), 3u);
    EXPECT_EQ(index.at("files")[0].at("l"), "small.cfg"); // enumeration order
    EXPECT_EQ(index.at("config"), publisher_.read_json("config.json").at("client"));

    const auto* text = record_for(index, "Data\\My File.txt");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->at("r"), "1/data/my%20file.txt.lzma2");
    EXPECT_EQ(text->at("r_pack"), "lzma2");
    EXPECT_EQ(text->at("l_sha1"), sha1_text(text_of(100000)));
    EXPECT_EQ(test::unpack_to_string(publisher_.dir(), "output/1/data/my file.txt.lzma2"), text_of(100000));
    EXPECT_EQ(text->at("r_sha1"),
              sha1_text(test::read_file(publisher_.dir().native("output/1/data/my file.txt.lzma2"))));
    EXPECT_EQ(text->at("l_sha256"), sha256_text(text_of(100000)));
    EXPECT_EQ(text->at("r_sha256"),
              sha256_text(test::read_file(publisher_.dir().native("output/1/data/my file.txt.lzma2"))));

    const auto* game = record_for(index, "Bin\\Game.EXE");
    ASSERT_NE(game, nullptr);
    EXPECT_EQ(game->at("r"), "1/bin/game.exe.lzma2"); // executables stay packed, saving or not
    EXPECT_GE(game->at("r_size").get<std::uint32_t>(), 20000u);

    const auto* small = record_for(index, "small.cfg");
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(*small, nlohmann::json({{"u", 1},
                                      {"l", "small.cfg"},
                                      {"l_sha1", sha1_text("volume=7\n")},
                                      {"l_sha256", sha256_text("volume=7\n")},
                                      {"l_size", 9},
                                      {"r", "1/small.cfg"},
                                      {"r_size", 9}}));
    EXPECT_EQ(test::read_file(publisher_.dir().native("output/1/small.cfg")), "volume=7\n");
    EXPECT_EQ(test::unpack_to_string(publisher_.dir(), "output/1/index.json.lzma2"),
              test::read_file(publisher_.dir().native("output/1/index.json")));
}

TEST_F(PublishedTree, ASecondRunWithoutChangesReusesEverything) {
    const std::string index_before = test::read_file(publisher_.dir().native("output/1/index.json"));
    const auto second = publisher_.run();
    EXPECT_TRUE(second.completed);
    EXPECT_EQ(second.console, "Brightgate\nChecking files...\nUsing cached: 1/small.cfg\n"
                              "Using cached: 1/bin/game.exe.lzma2\nUsing cached: 1/data/my%20file.txt.lzma2\n"
                              "No change in files detected. Comparing cache...\nNo update detected.\n"
                              "Saving update index.\nFinished!\n\nMinimum referenced version: 1\n"
                              "Current game update version: 1\n"
                              "version.json kept, valid until 2025-07-15 15:06:40 UTC\n");
    EXPECT_EQ(publisher_.read_json("config.json").at("maker").at("gameupdate"), 1);
    EXPECT_EQ(test::read_file(publisher_.dir().native("output/1/index.json")), index_before);
    EXPECT_FALSE(fs::exists(publisher_.dir().native("output/2")));
}

// Records published before SHA-256 get their digests from the files they were made from
// without new copies; the changed records make a new update, once. A record whose file no
// longer gives its SHA-1 (changed under an unchanged stamp) is made anew.
TEST_F(PublishedTree, RecordsMadeBeforeSha256GetItWithoutNewCopies) {
    const nlohmann::json published = publisher_.read_json("output/1/index.json");
    nlohmann::json cache = publisher_.read_json("cache.json");
    for (auto& [key, entry] : cache.items()) {
        entry["data"].erase("l_sha256");
        entry["data"].erase("r_sha256");
    }
    // Other content under the stamp the cache holds: as if it had been changed without its
    // size or write time showing it.
    test::write_file(publisher_.dir().native("input/small.cfg"), "volume=8\n");
    cache["small.cfg"]["cache"] = file_stamp(publisher_.dir().wide("input/small.cfg")).value();
    ASSERT_TRUE(write_json_pretty(publisher_.dir().wide("cache.json"), cache));

    const auto second = publisher_.run();
    EXPECT_NE(
        second.console.find("Using cached: 1/bin/game.exe.lzma2\nUsing cached: 1/data/my%20file.txt.lzma2\n"),
        std::string::npos)
        << second.console;
    EXPECT_NE(second.console.find("Checksum mismatch for input file: " +
                                  test::shown(wide_to_utf8(publisher_.dir().wide("input/small.cfg"))) +
                                  "\nProcessing: small.cfg\n"),
              std::string::npos)
        << second.console;
    EXPECT_NE(second.console.find("Current game update version: 2\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(publisher_.dir().native("output/2/bin"))) << "no new copy of an unchanged file";
    const nlohmann::json index = publisher_.read_json("output/2/index.json");
    for (const char* l : {"Bin\\Game.EXE", "Data\\My File.txt"}) {
        SCOPED_TRACE(l);
        ASSERT_NE(record_for(index, l), nullptr);
        EXPECT_EQ(*record_for(index, l), *record_for(published, l)) << "as a fresh run writes it";
    }
    EXPECT_EQ(record_for(index, "small.cfg")->at("l_sha256"), sha256_text("volume=8\n"));

    const auto third = publisher_.run();
    EXPECT_NE(third.console.find("No update detected.\n"), std::string::npos) << "added once";
}

TEST_F(PublishedTree, ATouchedFileMovesToTheNextUpdateAlone) {
    const auto path = publisher_.dir().native("input/small.cfg");
    fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(10));
    const auto second = publisher_.run();
    EXPECT_NE(second.console.find("Processing: small.cfg\n"), std::string::npos);
    EXPECT_EQ(second.console.find("Comparing cache"), std::string::npos);
    EXPECT_NE(second.console.find("Minimum referenced version: 1\nCurrent game update version: 2\n"),
              std::string::npos);
    const nlohmann::json index = publisher_.read_json("output/2/index.json");
    EXPECT_EQ(record_for(index, "small.cfg")->at("r"), "2/small.cfg");
    EXPECT_EQ(record_for(index, "Bin\\Game.EXE")->at("r"), "1/bin/game.exe.lzma2");
    EXPECT_EQ(record_for(index, "Data\\My File.txt")->at("u"), 1);
    EXPECT_EQ(publisher_.read_json("output/version.json").at("gameupdate"), 2);
}

TEST_F(PublishedTree, ARemovedFileMakesANewUpdateWithoutIt) {
    fs::remove(publisher_.dir().native("input/small.cfg"));
    const auto second = publisher_.run();
    EXPECT_NE(second.console.find("No change in files detected. Comparing cache...\nUpdate detected!\n"
                                  "Saving config file.\n"),
              std::string::npos);
    const nlohmann::json index = publisher_.read_json("output/2/index.json");
    EXPECT_EQ(index.at("files").size(), 2u);
    EXPECT_EQ(record_for(index, "small.cfg"), nullptr);
    EXPECT_TRUE(fs::exists(publisher_.dir().native("output/1/small.cfg"))); // nothing is deleted
}

TEST_F(PublishedTree, AMissingServerCopyIsMadeAgain) {
    fs::remove(publisher_.dir().native("output/1/bin/game.exe.lzma2"));
    const auto second = publisher_.run();
    const std::string mismatch =
        "Checksum mismatch for output file: " +
        test::shown(wide_to_utf8(publisher_.dir().wide("output/1/bin/game.exe.lzma2"))) + "\n";
    EXPECT_NE(second.console.find(mismatch), std::string::npos) << second.console;
    EXPECT_NE(second.console.find("Processing: " + test::shown("Bin\\Game.EXE") + "\n"), std::string::npos);
    EXPECT_EQ(record_for(publisher_.read_json("output/2/index.json"), "Bin\\Game.EXE")->at("r"),
              "2/bin/game.exe.lzma2");
}

TEST(PatchMaker, SettingsOfTheWrongTypeStopTheRunBeforeAnyFile) {
    struct row {
        const char* pointer;
        nlohmann::json value;
        const char* message;
    };
    const row rows[] = {
        {"/maker/packer/optimize", 1, "type must be boolean, but is number"},
        {"/maker/packer/minsize", "16384", "type must be number, but is string"},
        {"/maker/gameupdate", nullptr, "type must be number, but is null"},
        {"/maker/validity_days", "30", "type must be number, but is string"},
        {"/maker/validity_days", 0, "maker.validity_days must be from 1 to 3650"},
        {"/maker/validity_days", 3651, "maker.validity_days must be from 1 to 3650"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.pointer);
        publisher_dir publisher;
        nlohmann::json configuration = publisher_config_template("g");
        configuration[nlohmann::json::json_pointer(r.pointer)] = r.value;
        publisher.configure(configuration);
        publisher.add_input("a.txt", "a");
        const auto run = publisher.run();
        EXPECT_FALSE(run.completed);
        EXPECT_TRUE(run.console.starts_with("Exception: ")) << run.console;
        EXPECT_NE(run.console.find(r.message), std::string::npos) << run.console;
        EXPECT_EQ(run.console.find("Brightgate"), std::string::npos);
        EXPECT_TRUE(fs::is_empty(publisher.dir().native("output")));
        EXPECT_FALSE(fs::exists(publisher.dir().native("cache.json")));
    }
}

TEST(PatchMaker, AConfigurationThatIsNotJsonIsReported) {
    publisher_dir publisher;
    test::write_file(publisher.dir().native("config.json"), "{ not json");
    const auto run = publisher.run();
    EXPECT_FALSE(run.completed);
    EXPECT_TRUE(run.console.starts_with("Exception: [json.exception.parse_error")) << run.console;
    EXPECT_EQ(test::read_file(publisher.dir().native("config.json")), "{ not json");
}

} // namespace
} // namespace qz4
