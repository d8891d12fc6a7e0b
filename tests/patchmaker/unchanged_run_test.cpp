// A run over a tree that has not changed since the last one writes nothing (the publisher's
// directory the same byte for byte and by modification time), and what did change between
// the runs is still found: a touched or changed input file, a server copy changed under its
// size, a cache companion that is damaged, missing or belongs to another cache.json.
#include "tests/patchmaker/patch_maker_support.hpp"
#include "update/documents/json_document.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>

namespace qz4 {
namespace {

namespace fs = std::filesystem;
using test::publisher_dir;

struct file_state {
    std::string content;
    fs::file_time_type written;
    bool operator==(const file_state&) const = default;
};

// Every file of the publisher's directory but the input.
std::map<std::string, file_state> publisher_files(const publisher_dir& publisher) {
    std::map<std::string, file_state> files;
    const fs::path root = publisher.dir().path();
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string relative = fs::relative(entry.path(), root).generic_string();
        if (entry.is_regular_file() && !relative.starts_with("input/"))
            files[relative] = {test::read_file(entry.path()), entry.last_write_time()};
    }
    return files;
}

std::set<std::string> changed_between(const std::map<std::string, file_state>& before,
                                      const std::map<std::string, file_state>& after) {
    std::set<std::string> changed;
    for (const auto& [name, state] : after) {
        const auto found = before.find(name);
        if (found == before.end() || found->second != state)
            changed.insert(name);
    }
    for (const auto& [name, state] : before) {
        if (!after.contains(name))
            changed.insert(name);
    }
    return changed;
}

// Puts a file's modification time an hour back, so that any later write shows in it whatever
// the file system's clock granularity.
void age(const fs::path& path) {
    fs::last_write_time(path, fs::last_write_time(path) - std::chrono::hours(1));
}

void flip_last_byte(const fs::path& path) {
    std::string content = test::read_file(path);
    content.back() = static_cast<char>(content.back() ^ 0x01);
    test::write_file(path, content);
}

struct unchanged_run_case {
    const char* name;
    bool signing;
    void (*between)(publisher_dir&); // what happens between the last two runs
    const char* processed;           // the file made anew under update 2; none: no update
    std::set<std::string> written;   // what a run without an update writes
};

const unchanged_run_case unchanged_run_cases[] = {
    {"nothing changed", true, [](publisher_dir&) {}, nullptr, {}},
    {"nothing changed, unsigned", false, [](publisher_dir&) {}, nullptr, {}},
    {"a touched input file",
     true,
     [](publisher_dir& p) {
         const auto path = p.dir().native("input/small.cfg");
         fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(10));
     },
     "small.cfg",
     {}},
    {"a changed input file",
     true,
     [](publisher_dir& p) { p.add_input("Data/My File.txt", test::text_of(100001)); },
     "Data\\My File.txt",
     {}},
    {"a server copy changed under its size",
     true,
     [](publisher_dir& p) { flip_last_byte(p.dir().native("output/1/small.cfg")); },
     "small.cfg",
     {}},
    {"a server copy touched, its bytes the same",
     true,
     [](publisher_dir& p) {
         const auto path = p.dir().native("output/1/data/my file.txt.lzma2");
         fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(10));
     },
     nullptr,
     {"cache.bin"}},
    {"a damaged companion",
     true,
     [](publisher_dir& p) { flip_last_byte(p.dir().native("cache.bin")); },
     nullptr,
     {"cache.bin"}},
    {"a cut companion",
     true,
     [](publisher_dir& p) {
         const auto path = p.dir().native("cache.bin");
         fs::resize_file(path, fs::file_size(path) / 2);
     },
     nullptr,
     {"cache.bin"}},
    {"no companion",
     true,
     [](publisher_dir& p) { fs::remove(p.dir().native("cache.bin")); },
     nullptr,
     {"cache.bin"}},
    // An older version, or the publisher, wrote cache.json since: the companion is for
    // another one, and the run takes cache.json as it is.
    {"a cache.json written since",
     true,
     [](publisher_dir& p) {
         ASSERT_TRUE(write_json_compact(p.dir().wide("cache.json"), p.read_json("cache.json")));
     },
     nullptr,
     {"cache.json", "cache.bin"}},
};

class UnchangedRun : public testing::TestWithParam<unchanged_run_case> {};

TEST_P(UnchangedRun, WritesNothingAndStillFindsWhatChanged) {
    const unchanged_run_case& c = GetParam();
    publisher_dir publisher;
    publisher.configure();
    nlohmann::json configuration = publisher.read_json("config.json");
    configuration["maker"]["sign"] = c.signing;
    publisher.configure(configuration);
    publisher.clock = test::clock_at(1'750'000'000);
    publisher.add_input("small.cfg", "volume=7\n");
    publisher.add_input("Bin/Game.EXE", test::random_bytes(20000, 3));
    publisher.add_input("Data/My File.txt", test::text_of(100000));
    ASSERT_TRUE(publisher.run().completed);
    // Everything aged but the input, then settled by a run that finds its cache's server
    // copies and cache.json under other times.
    for (const auto& [name, state] : publisher_files(publisher))
        age(publisher.dir().native(name));
    const auto settling = publisher.run();
    ASSERT_NE(settling.console.find("No update detected.\n"), std::string::npos) << settling.console;
    age(publisher.dir().native("cache.bin"));

    c.between(publisher);
    const auto before = publisher_files(publisher);
    const auto second = publisher.run();
    ASSERT_TRUE(second.completed) << second.console;
    const auto after = publisher_files(publisher);
    if (c.processed == nullptr) {
        EXPECT_NE(
            second.console.find("Using cached: 1/small.cfg\nUsing cached: 1/bin/game.exe.lzma2\n"
                                "Using cached: 1/data/my%20file.txt.lzma2\n"
                                "No change in files detected. Comparing cache...\nNo update detected.\n"),
            std::string::npos)
            << second.console;
        EXPECT_EQ(changed_between(before, after), c.written);
    } else {
        EXPECT_NE(second.console.find("Processing: " + test::shown(c.processed) + "\n"), std::string::npos)
            << second.console;
        EXPECT_NE(second.console.find("Current game update version: 2\n"), std::string::npos)
            << second.console;
    }
    // The cache.json left behind is the one the run went by, as any version reads it.
    const nlohmann::json cache = publisher.read_json("cache.json");
    const bool small_made_anew = c.processed != nullptr && std::string_view(c.processed) == "small.cfg";
    EXPECT_EQ(cache.at("small.cfg").at("data").at("r"), small_made_anew ? "2/small.cfg" : "1/small.cfg");

    // The index is put together from the records' texts: it must be what writing the whole
    // document gives.
    const std::string version =
        std::to_string(publisher.read_json("output/version.json").at("gameupdate").get<int>());
    const std::string index = test::read_file(publisher.dir().native("output/" + version + "/index.json"));
    EXPECT_EQ(index, json_text_compact(nlohmann::json::parse(index)));

    const auto third = publisher.run();
    EXPECT_NE(third.console.find("No update detected.\n"), std::string::npos) << third.console;
    EXPECT_EQ(changed_between(after, publisher_files(publisher)), std::set<std::string>());
}

INSTANTIATE_TEST_SUITE_P(Cases, UnchangedRun, testing::ValuesIn(unchanged_run_cases),
                         [](const testing::TestParamInfo<unchanged_run_case>& param_info) {
                             std::string name;
                             for (const char* c = param_info.param.name; *c != '\0'; ++c)
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

} // namespace
} // namespace qz4
