// The packing decisions and the reuse of cached records, file by file.
#include "common/sha256.hpp"
#include "tests/patchmaker/patch_maker_support.hpp"
#include "tests/support/system_probe.hpp"
#include "tests/support/test_process.hpp"

#include <gtest/gtest.h>

namespace qz4 {
namespace {

namespace fs = std::filesystem;
using test::publisher_dir;

const nlohmann::json& only_record(const publisher_dir& publisher, std::uint32_t update) {
    static nlohmann::json index;
    index = publisher.read_json("output/" + std::to_string(update) + "/index.json");
    EXPECT_EQ(index.at("files").size(), 1u);
    return index.at("files").at(0);
}

// Half incompressible, half zeros: packs to a little over half its size.
std::string half_compressible(std::size_t size) {
    return test::random_bytes(size / 2, 11) + std::string(size - size / 2, '\0');
}

TEST(Packing, DecisionTable) {
    struct row {
        const char* name;
        std::string content;
        bool optimize;
        std::uint32_t minsize;
        int threshold;
        bool packed;
    };
    const row rows[] = {
        {"at-minsize.txt", std::string(1000, 'a'), true, 1000, 85, true},
        {"below-minsize.txt", std::string(999, 'a'), true, 1000, 85, false},
        {"random.bin", test::random_bytes(20000, 1), true, 1000, 85, false},      // packing does not pay
        {"random-kept.bin", test::random_bytes(20000, 1), false, 1000, 85, true}, // unless optimize is off
        {"library.DLL", test::random_bytes(20000, 1), true, 1000, 85, true},      // executables stay packed
        {"half.dat", half_compressible(40000), true, 1000, 85, true},
        {"half-strict.dat", half_compressible(40000), true, 1000, 40, false}, // the threshold decides
        {"empty.txt", "", true, 0, 85, false},                                // packed, not smaller: copied
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        publisher_dir publisher;
        publisher.configure(0, r.optimize, r.minsize, r.threshold);
        publisher.add_input(r.name, r.content);
        ASSERT_TRUE(publisher.run().completed);
        const nlohmann::json record = only_record(publisher, 1);
        EXPECT_EQ(record.contains("r_pack"), r.packed);
        EXPECT_EQ(record.contains("r_sha1"), r.packed);
        EXPECT_EQ(record.at("l_sha256"), sha256_text(r.content)) << "empty for an empty file";
        EXPECT_EQ(record.contains("r_sha256"), r.packed);
        const std::string remote = record.at("r");
        const std::string plain = "output/" + (r.packed ? remote.substr(0, remote.size() - 6) : remote);
        EXPECT_EQ(fs::exists(publisher.dir().native(plain)), !r.packed);
        EXPECT_EQ(fs::exists(publisher.dir().native(plain + ".lzma2")), r.packed);
        if (r.packed) {
            EXPECT_EQ(test::unpack_to_string(publisher.dir(), plain + ".lzma2"), r.content);
            EXPECT_EQ(record.at("r_sha256"),
                      sha256_text(test::read_file(publisher.dir().native(plain + ".lzma2"))));
        } else {
            EXPECT_EQ(test::read_file(publisher.dir().native(plain)), r.content);
            EXPECT_EQ(record.at("r_size"), record.at("l_size"));
        }
    }
}

TEST(Packing, ANameWithASpaceIsFoundAgainThroughTheCache) {
    publisher_dir publisher;
    publisher.configure();
    publisher.add_input("Maps/Old Town.map", std::string(30000, 'm'));
    ASSERT_TRUE(publisher.run().completed);
    const auto second = publisher.run();
    EXPECT_NE(second.console.find("Using cached: 1/maps/old%20town.map.lzma2\n"), std::string::npos)
        << second.console;
    EXPECT_EQ(second.console.find("Processing:"), std::string::npos);
}

TEST(Packing, ALetterCaseRenameKeepsThePublishedRecord) {
    publisher_dir publisher;
    publisher.configure();
    publisher.add_input("Data/readme.txt", "hello");
    ASSERT_TRUE(publisher.run().completed);
    // A rename keeps the size and the write time, so the stamp under the lower-cased key holds.
    fs::rename(publisher.dir().native("input/Data/readme.txt"),
               publisher.dir().native("input/Data/README.TXT"));
    const auto second = publisher.run();
    EXPECT_NE(second.console.find("Using cached: 1/data/readme.txt\n"), std::string::npos) << second.console;
    EXPECT_EQ(only_record(publisher, 1).at("l"), "Data\\readme.txt");
}

TEST(Packing, SeveralWorkersKeepTheEnumerationOrderAndTheSameRecords) {
    publisher_dir one, many;
    for (publisher_dir* publisher : {&one, &many}) {
        publisher->configure(0, true, 100, 85);
        for (int i = 0; i < 24; ++i)
            publisher->add_input(
                "dir" + std::to_string(i % 3) + "/file" + std::to_string(i) + ".txt",
                std::string(500 + static_cast<std::size_t>(i) * 301, static_cast<char>('a' + i)));
    }
    ASSERT_TRUE(one.run(1).completed);
    const auto many_run = many.run(4);
    ASSERT_TRUE(many_run.completed);
    EXPECT_EQ(one.read_json("output/1/index.json"), many.read_json("output/1/index.json"))
        << many_run.console;
    const auto without_stamps = [](nlohmann::json cache) {
        for (auto& entry : cache)
            entry.erase("cache");
        return cache;
    };
    EXPECT_EQ(without_stamps(one.read_json("cache.json")), without_stamps(many.read_json("cache.json")));
}

TEST(Packing, EveryPackedCopyUnpacksWithTheXzToolPosix) {
    if (const auto reason = test::posix_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    publisher_dir publisher;
    publisher.configure(0, false, 0, 85);
    publisher.add_input("a.txt", std::string(5000, 'x') + "end");
    publisher.add_input("b/c.bin", test::random_bytes(70000, 5));
    publisher.add_input("empty", "");
    ASSERT_TRUE(publisher.run().completed);
    int checked = 0;
    for (const auto& entry : fs::recursive_directory_iterator(publisher.dir().native("output"))) {
        if (entry.path().extension() != ".lzma2")
            continue;
        const auto out = publisher.dir().native("xz-out");
        const auto result = test::run_program(
            "/bin/sh",
            {"-c", "tail -c +14 \"$0\" | xz --format=raw --lzma2=dict=16MiB,lc=3,lp=0,pb=2 -dc > \"$1\"",
             entry.path().string(), out.string()},
            publisher.dir().path());
        ASSERT_EQ(result.exit_code, 0) << entry.path() << result.output;
        // output/1/<name>.lzma2 holds input/<name>; the packed index holds the plain one.
        const fs::path below =
            fs::relative(entry.path(), publisher.dir().native("output/1")).replace_extension();
        const fs::path original = below == "index.json" ? publisher.dir().native("output/1/index.json")
                                                        : publisher.dir().native("input") / below;
        EXPECT_EQ(test::read_file(out), test::read_file(original)) << entry.path();
        ++checked;
    }
    EXPECT_EQ(checked, 4); // three files and the index
}

} // namespace
} // namespace qz4
