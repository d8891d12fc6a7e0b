// File stamps and the file cache: hits, every kind of miss, its document, and stores from
// several threads at once.
#include "update/documents/file_cache.hpp"

#include "common/file_handle.hpp"
#include "common/file_system.hpp"
#include "update/documents/json_document.hpp"

#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include <thread>

namespace qz4 {
namespace {

using nlohmann::json;

class FileCache : public testing::Test {
protected:
    void SetUp() override { test::write_file(dir.native("game.exe"), "content"); }
    std::wstring file() const { return dir.wide("game.exe"); }

    test::temp_dir dir;
    file_cache cache;
};

TEST_F(FileCache, StampIsSizeXorWriteTimeOfOneHandle) {
    // XOR and a sum agree unless size and time share a bit. 16 low bits of size and an odd
    // count of 100 ns ticks share one; where the system keeps whole seconds only, the next
    // second is tried until they do.
    test::write_file(dir.native("game.exe"), std::string(0xFFFF, 'x'));
    const auto second =
        std::chrono::floor<std::chrono::seconds>(std::filesystem::file_time_type::clock::now());
    file_handle handle;
    for (int k = 0; k < 20; ++k) {
        std::filesystem::last_write_time(dir.native("game.exe"), second + std::chrono::seconds(k) +
                                                                     std::chrono::nanoseconds(123'456'700));
        handle = file_handle::open_read(file());
        ASSERT_TRUE(handle.is_open());
        if ((*handle.size() & *handle.last_write_time()) != 0)
            break;
    }
    ASSERT_NE(*handle.size() & *handle.last_write_time(), 0u) << "no write time told XOR from a sum";
    EXPECT_EQ(file_stamp(file()), *handle.size() ^ *handle.last_write_time());
    EXPECT_EQ(file_stamp(dir.wide("missing")), std::nullopt);
    EXPECT_EQ(file_stamp(dir.wide()), std::nullopt) << "a directory has no stamp";
    // The metadata call that spares the open gives the same stamp.
    const auto status = stat_plain_file(file());
    ASSERT_TRUE(status);
    EXPECT_EQ(status->size ^ status->write_time, *file_stamp(file()));
    EXPECT_FALSE(stat_plain_file(dir.wide("missing")).has_value());
    EXPECT_FALSE(stat_plain_file(dir.wide()).has_value()) << "a directory has no status";
}

TEST_F(FileCache, StoreThenLookup) {
    const json record = {{"u", 7}, {"l", "game.exe"}};
    ASSERT_TRUE(cache.store("with data", file(), &record));
    ASSERT_TRUE(cache.store(std::wstring_view(L"без данных"), file()));

    json data = "untouched";
    EXPECT_TRUE(cache.lookup("with data", file(), &data));
    EXPECT_EQ(data, record);
    EXPECT_TRUE(cache.lookup("без данных", file(), &data)) << "wide keys are stored as UTF-8";
    EXPECT_TRUE(data.is_null());
    EXPECT_TRUE(cache.lookup(std::wstring_view(L"with data"), file()));

    EXPECT_FALSE(cache.lookup("other key", file()));
    EXPECT_FALSE(cache.lookup("with data", dir.wide("missing")));
    test::write_file(dir.native("game.exe"), "content changed");
    EXPECT_FALSE(cache.lookup("with data", file())) << "a changed file is a miss";
}

TEST_F(FileCache, BadEntriesAreMisses) {
    const std::uint64_t stamp = *file_stamp(file());
    const json entries = {
        {"good", {{"cache", stamp}}},
        {"string", {{"cache", std::to_string(stamp)}}},
        {"size bit", {{"cache", stamp ^ 1}}},
        {"time bit", {{"cache", stamp ^ (std::uint64_t{1} << 40)}}},
        {"high bit", {{"cache", stamp ^ (std::uint64_t{1} << 63)}}},
        {"no stamp", {{"data", 1}}},
        {"boolean", {{"cache", true}}},
        {"not an object", 5},
    };
    ASSERT_TRUE(write_json_pretty(dir.wide("cache.json"), entries));
    cache.load(dir.wide("cache.json"));
    for (const auto& [key, entry] : entries.items()) {
        SCOPED_TRACE(key);
        EXPECT_EQ(cache.lookup(key, file()), key == "good");
    }
}

TEST_F(FileCache, StoreWithoutStampChangesNothing) {
    ASSERT_TRUE(cache.store("a", file()));
    const json before = cache.snapshot();
    EXPECT_FALSE(cache.store("b", dir.wide("missing")));
    EXPECT_FALSE(cache.store("a", dir.wide("missing")));
    EXPECT_EQ(cache.snapshot(), before);
}

TEST_F(FileCache, BadDocumentsLoadEmpty) {
    struct row {
        const char* name;
        const char* text;
    };
    const std::string deep =
        "{\"b\":{\"cache\":1,\"data\":" + std::string(1000000, '[') + std::string(1000000, ']') + "}}";
    const row rows[] = {{"malformed", "{\"a\":"},
                        {"empty", ""},
                        {"array", "[1,2]"},
                        {"string", "\"x\""},
                        {"a number beyond a double", "{\"a\":{\"cache\":1e999}}"},
                        // Loaded whole, it overflowed the stack when it was saved.
                        {"a million levels deep", deep.c_str()}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        test::write_file(dir.native("cache.json"), r.text);
        cache.load(dir.wide("cache.json"));
        EXPECT_TRUE(cache.snapshot().is_null());
        EXPECT_TRUE(cache.store("a", file())) << "an empty cache takes entries";
        EXPECT_TRUE(cache.save(dir.wide("saved.json")));
        EXPECT_EQ(cache.snapshot().size(), 1U);
    }
    cache.load(dir.wide("missing.json"));
    EXPECT_TRUE(cache.snapshot().is_null());
}

TEST_F(FileCache, SavesPrettyAndLoadsBack) {
    const json record = {{"l", "Data\\My File.txt"}, {"u", 7}};
    ASSERT_TRUE(cache.store("data\\my file.txt", file(), &record));
    ASSERT_TRUE(cache.store("client\\game.exe", file()));
    ASSERT_TRUE(cache.save(dir.wide("cache.json")));
    const std::string stamp = std::to_string(*file_stamp(file()));
    EXPECT_EQ(test::read_file(dir.native("cache.json")), "{\r\n"
                                                         "    \"client\\\\game.exe\": {\r\n"
                                                         "        \"cache\": " +
                                                             stamp +
                                                             "\r\n"
                                                             "    },\r\n"
                                                             "    \"data\\\\my file.txt\": {\r\n"
                                                             "        \"cache\": " +
                                                             stamp +
                                                             ",\r\n"
                                                             "        \"data\": {\r\n"
                                                             "            \"l\": \"Data\\\\My File.txt\",\r\n"
                                                             "            \"u\": 7\r\n"
                                                             "        }\r\n"
                                                             "    }\r\n"
                                                             "}\r\n");
    file_cache loaded;
    loaded.load(dir.wide("cache.json"));
    json data;
    EXPECT_TRUE(loaded.lookup("data\\my file.txt", file(), &data));
    EXPECT_EQ(data, record);
    // Storing what it holds already changes nothing, so that nothing need be saved.
    EXPECT_FALSE(loaded.changed());
    ASSERT_TRUE(loaded.store("data\\my file.txt", file(), &record));
    ASSERT_TRUE(loaded.store("client\\game.exe", file()));
    EXPECT_FALSE(loaded.changed());
    ASSERT_TRUE(loaded.store("client\\game.exe", file(), &record));
    EXPECT_TRUE(loaded.changed());
    loaded.load(dir.wide("cache.json"));
    EXPECT_FALSE(loaded.changed());

    // An empty cache saves as null, which loads as an empty cache again.
    ASSERT_TRUE(file_cache().save(dir.wide("empty.json")));
    EXPECT_EQ(test::read_file(dir.native("empty.json")), "null\r\n");
}

TEST_F(FileCache, ConcurrentStoresAndLookups) {
    constexpr int per_thread = 300;
    const auto work = [&](const std::string& prefix) {
        for (int i = 0; i < per_thread; ++i) {
            const json data = i;
            EXPECT_TRUE(cache.store(prefix + std::to_string(i), file(), &data));
            json seen;
            EXPECT_TRUE(cache.lookup(prefix + std::to_string(i / 2), file(), &seen));
        }
    };
    std::thread first(work, "first ");
    std::thread second(work, "second ");
    first.join();
    second.join();
    const json value = cache.snapshot();
    ASSERT_EQ(value.size(), 2U * per_thread);
    EXPECT_EQ(value["second 299"]["data"], 299);
}

} // namespace
} // namespace qz4
