// What a run publishes as a whole: nothing when a file fails, distinct server copies whatever
// the names, only files, and encoders within their budget however many workers run.
#include "common/encoding.hpp"
#include "common/lzma2_codec.hpp"
#include "patchmaker/copy_names.hpp"
#include "patchmaker/encoder_pool.hpp"
#include "tests/patchmaker/patch_maker_support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace qz4 {
namespace {

namespace fs = std::filesystem;
using test::publisher_dir;
using test::text_of;

// A run in which big.txt cannot be packed (a directory stands where its copy goes), then the
// publisher either clears the way or removes the file: the first run publishes nothing, the
// next one publishes update 1 with whatever the tree then holds.
TEST(Publishing, AFailedFilePublishesNothingAndTheNextRunPublishesTheRest) {
    for (const bool remove_file : {false, true}) {
        SCOPED_TRACE(remove_file ? "file removed" : "way cleared");
        publisher_dir publisher;
        publisher.configure();
        publisher.add_input("a.txt", "alpha");
        publisher.add_input("big.txt", text_of(40000));
        fs::create_directories(publisher.dir().native("output/1/big.txt.lzma2"));

        const auto failed = publisher.run();
        EXPECT_FALSE(failed.completed);
        const std::string packing_error =
            "!!! Error packing file: " + test::shown(wide_to_utf8(publisher.dir().wide("input/big.txt"))) +
            " (Code: 5)\n";
        EXPECT_NE(failed.console.find(packing_error), std::string::npos) << failed.console;
        EXPECT_TRUE(failed.console.ends_with("Nothing was published: 1 file(s) failed.\n")) << failed.console;
        EXPECT_FALSE(fs::exists(publisher.dir().native("output/version.json")));
        EXPECT_FALSE(fs::exists(publisher.dir().native("output/1/index.json")));
        EXPECT_EQ(publisher.read_json("config.json").at("maker").at("gameupdate"), 0);
        EXPECT_TRUE(publisher.read_json("cache.json").contains("a.txt")) << "what was done is kept";

        fs::remove(publisher.dir().native("output/1/big.txt.lzma2"));
        if (remove_file)
            fs::remove(publisher.dir().native("input/big.txt"));
        const auto next = publisher.run();
        ASSERT_TRUE(next.completed) << next.console;
        EXPECT_NE(next.console.find("Using cached: 1/a.txt\n"), std::string::npos) << next.console;
        EXPECT_NE(next.console.find("Saving config file.\n"), std::string::npos) << next.console;
        EXPECT_EQ(publisher.read_json("output/version.json").at("gameupdate"), 1);
        EXPECT_EQ(publisher.read_json("output/1/index.json").at("files").size(), remove_file ? 1u : 2u);
    }
}

// Every failure names the file it failed on, and a run with one publishes no update.
TEST(Publishing, EachFailureNamesItsFileAndFailsTheRun) {
    struct row {
        const char* what;
        const char* blocked; // a directory stands where the run must write this file
        const char* text;    // the console line, before the path
        const char* named;   // the path it names, below the publisher's directory
        bool published;      // the cache is written last, after the update went out
    };
    const row rows[] = {
        {"a copy", "output/1/small.cfg", "!!! Error copy: ", "input/small.cfg", false},
        {"the cache", "cache.json", "!!! Error writing file: ", "cache.json", true},
        {"the index", "output/1/index.json", "!!! Error writing file: ", "output/1/index.json", false},
        {"the version document", "output/version.json", "!!! Error writing file: ", "output/version.json",
         false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        publisher_dir publisher;
        publisher.configure();
        publisher.add_input("small.cfg", "volume=7\n");
        fs::create_directories(publisher.dir().native(r.blocked));
        const auto run = publisher.run();
        EXPECT_FALSE(run.completed);
        const std::string line = r.text + test::shown(wide_to_utf8(publisher.dir().wide(r.named))) + "\n";
        EXPECT_NE(run.console.find(line), std::string::npos) << run.console;
        EXPECT_EQ(fs::is_regular_file(publisher.dir().native("output/version.json")), r.published);
    }
}

TEST(CopyNames, EveryCopyGetsANameOfItsOwn) {
    struct row {
        const char* name;
        std::vector<std::wstring> keys;
        std::vector<std::wstring> kept;
        std::vector<std::wstring> stems;
    };
    const row rows[] = {
        {"no clash: the keys", {L"a.txt", L"d\\b.bin"}, {}, {L"a.txt", L"d\\b.bin"}},
        {"the update's documents",
         {L"index.json", L"index.json.sig", L"d\\index.json"},
         {},
         {L"index~2.json", L"index.json~2.sig", L"d\\index.json"}},
        {"X and X.lzma2", {L"d\\x", L"d\\x.lzma2"}, {}, {L"d\\x", L"d\\x~2.lzma2"}},
        {"letter case", {L"Data\\A.txt", L"data\\a.TXT"}, {}, {L"data\\a.txt", L"data\\a~2.txt"}},
        {"a numbered name taken by a file",
         {L"a.txt", L"A.txt", L"a~2.txt"},
         {},
         {L"a.txt", L"a~2.txt", L"a~2~2.txt"}},
        {"a folder where another's copy is",
         {L"x", L"x.lzma2\\y", L"X.LZMA2\\z"},
         {},
         {L"x", L"x~2.lzma2\\y", L"x~2.lzma2\\z"}},
        {"a folder named like the index", {L"index.json\\a"}, {}, {L"index~2.json\\a"}},
        {"a name without extension", {L".cfg", L".CFG"}, {}, {L".cfg", L".cfg~2"}},
        {"kept from an unpublished run", {L"a.txt", L"A.TXT"}, {L"", L"a.txt"}, {L"a~2.txt", L"a.txt"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(assign_copy_stems(r.keys, r.kept), r.stems);
    }
}

// The collisions found in published trees, through a whole run: every record has its own copy
// holding its own file, and the next run sees nothing changed.
TEST(Publishing, CollidingNamesGetCopiesOfTheirOwn) {
    publisher_dir publisher;
    publisher.configure(0, true, 1000, 85);
    publisher.add_input("index.json", "{\"a game file\":true}");
    publisher.add_input("data/x", text_of(20000));     // packed: data/x.lzma2
    publisher.add_input("data/x.lzma2", "not packed"); // too small to pack
    ASSERT_TRUE(publisher.run().completed);

    const nlohmann::json index = publisher.read_json("output/1/index.json");
    ASSERT_EQ(index.at("files").size(), 3u);
    std::set<std::string> remotes;
    for (const auto& record : index.at("files")) {
        const std::string remote = record.at("r");
        remotes.insert(remote);
        const std::string input =
            test::read_file(publisher.dir().native("input/" + record.at("l").get<std::string>()));
        const std::string copy = record.contains("r_pack")
                                     ? test::unpack_to_string(publisher.dir(), "output/" + remote)
                                     : test::read_file(publisher.dir().native("output/" + remote));
        EXPECT_EQ(copy, input) << remote;
    }
    EXPECT_EQ(remotes.size(), 3u);
    EXPECT_TRUE(index.at("config").is_object()) << "the index itself was not overwritten";

    const auto second = publisher.run();
    EXPECT_NE(second.console.find("No update detected.\n"), std::string::npos) << second.console;
    EXPECT_EQ(second.console.find("Checksum mismatch"), std::string::npos) << second.console;
}

// However many workers hash and copy, at most the pool's limit of encoders exist, and none
// beyond what the budget holds; a budget below two encoders means one encoder.
TEST(EncoderPool, MakesNoMoreEncodersThanTheBudgetHolds) {
    test::temp_dir dir;
    test::write_file(dir.native("plain"), text_of(50000));
    struct row {
        std::uint64_t budget;
        unsigned most;
    };
    for (const row r : {row{encoder_memory_budget, encoder_count_limit}, row{1, 1}}) {
        SCOPED_TRACE(r.budget);
        encoder_pool pool(r.budget);
        std::atomic<unsigned> busy{0};
        std::atomic<unsigned> most_busy{0};
        std::atomic<int> failures{0};
        std::vector<std::jthread> workers;
        for (int w = 0; w < 6; ++w) {
            workers.emplace_back([&, w] {
                for (int i = 0; i < 3; ++i) {
                    const auto encoder = pool.acquire();
                    const unsigned now = ++busy;
                    for (unsigned seen = most_busy;
                         now > seen && !most_busy.compare_exchange_weak(seen, now);) {
                    }
                    const std::string target = "packed" + std::to_string(w);
                    if (encoder->pack(dir.wide("plain"), dir.wide(target)) != lzma2_result::ok)
                        ++failures;
                    --busy;
                }
            });
        }
        workers.clear();
        EXPECT_EQ(failures, 0);
        EXPECT_LE(pool.made(), r.most);
        EXPECT_LE(most_busy.load(), r.most);
    }
}

} // namespace
} // namespace qz4
