// A start that finds the announced update unchanged: what it fetches and what it writes, with
// and without the publisher's keys, and how a damaged copy of the index is fetched again.
#include "common/encoding.hpp"
#include "signatures/signatures.hpp"

#include "tests/update/engine/engine_harness.hpp"

#include <gtest/gtest.h>

#include <mutex>

namespace qz4 {
namespace {

using nlohmann::json;
using strings = std::vector<std::string>;

// The system's operations, logging every file made, renamed or deleted and every flush.
class writes_log final : public test::system_files {
public:
    std::unique_ptr<output_file> create_file(const std::wstring& path, std::uint32_t& error) override {
        record(L"create " + path);
        return system_files::create_file(path, error);
    }
    bool move_replace(const std::wstring& from, const std::wstring& to) override {
        record(L"move " + to);
        return system_files::move_replace(from, to);
    }
    bool delete_file(const std::wstring& path) override {
        record(L"delete " + path);
        return system_files::delete_file(path);
    }
    bool remove_directory(const std::wstring& path, bool allow_files) override {
        record(L"remove " + path);
        return system_files::remove_directory(path, allow_files);
    }
    bool make_durable(const std::wstring& directory, const std::vector<std::wstring>& written) override {
        record(L"flush");
        return system_files::make_durable(directory, written);
    }
    // What was logged that does not concern the announcement (version.json and its signature).
    [[nodiscard]] std::vector<std::string> beyond_announcement() const {
        const std::lock_guard lock(mutex_);
        std::vector<std::string> others;
        for (const std::wstring& entry : log_)
            if (entry.find(L"\\version.json") == std::wstring::npos)
                others.push_back(wide_to_utf8(entry));
        return others;
    }

private:
    void record(std::wstring entry) {
        const std::lock_guard lock(mutex_);
        log_.push_back(std::move(entry));
    }
    mutable std::mutex mutex_; // guards log_: the stages' threads write too
    std::vector<std::wstring> log_;
};

class UpToDateStart : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        // Soft-checked files, trusted by their stamps within one update; and a hard-checked one.
        tree.publish(1, test::test_config({tree.base_url()}, {"bin\\*"}, {"data\\*"}),
                     json::array({tree.add_file(1, "data\\game.dat", "data"),
                                  tree.add_file(1, "data\\more.dat", std::string(5000, 'm'), true),
                                  tree.add_file(1, "bin\\tool.dll", "tool")}));
        if (keyed())
            tree.sign(1, key);
    }
    [[nodiscard]] bool keyed() const { return GetParam(); }
    // One run; the requests it made below the tree.
    strings run(file_operations* files = nullptr) {
        const std::size_t before = tree.requests().size();
        const auto launcher =
            game.launcher({tree.base_url()}, files,
                          keyed() ? std::vector<public_key>{key.public_half()} : std::vector<public_key>{});
        test::recording_splash splash;
        bool restart = false;
        EXPECT_TRUE(launcher->run(splash, restart));
        EXPECT_EQ(launcher->error_text, L"");
        const strings all = tree.requests();
        return strings(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    }
    [[nodiscard]] std::string work_file(const std::string& name) const {
        return ".temp/" + std::string(test::test_product_guid) + "/" + name;
    }
    [[nodiscard]] strings announcement() const {
        return keyed() ? strings{"version.json", "version.json.sig"} : strings{"version.json"};
    }
    // The requests of a run, up to the files it fetched.
    [[nodiscard]] static strings documents(const strings& requests) {
        strings result;
        for (const std::string& path : requests)
            if (path.find("version.json") != std::string::npos ||
                path.find("index.json") != std::string::npos)
                result.push_back(path);
        return result;
    }
    [[nodiscard]] strings index_fetch() const {
        strings expected = announcement();
        if (keyed())
            expected.push_back("1/index.json.sig");
        expected.push_back("1/index.json.lzma2");
        return expected;
    }

    signing_key key = signing_key::generate();
    test::served_tree tree;
    test::game_install game;
};

TEST_P(UpToDateStart, FetchesOnlyTheAnnouncementAndWritesNothingElse) {
    EXPECT_EQ(documents(run()), index_fetch());
    ASSERT_EQ(game.read("data/game.dat"), "data");

    writes_log files;
    EXPECT_EQ(run(&files), announcement());
    EXPECT_EQ(files.beyond_announcement(), strings{}) << "no index, stamp cache, configuration or flush";

    // A file that changed is still found, and then the stamps are saved again.
    game.write("data/game.dat", "changed");
    writes_log after_change;
    EXPECT_EQ(run(&after_change).size(), announcement().size() + 1);
    EXPECT_EQ(game.read("data/game.dat"), "data");
    EXPECT_NE(after_change.beyond_announcement(), strings{});
}

// A damaged copy of the index is fetched again, and the start after that is cheap once more.
// What vouches for the copy differs: its signature with keys, the record's digest without.
TEST_P(UpToDateStart, ADamagedCopyOfTheIndexIsFetchedAgain) {
    struct damage {
        const char* name;
        const char* file;
        const char* content;
        bool fetched_unkeyed;
        bool fetched_keyed;
    };
    const damage damages[] = {
        {"the index", "index.json", "{}", true, true},
        {"the index cut short", "index.json", "{\"config\":", true, true},
        {"its record", "held_index.json", "{\"update\":1,\"source\":7}", true, false},
        {"its signature", "index.json.sig", "not a signature", false, true},
    };
    EXPECT_EQ(documents(run()), index_fetch());
    for (const damage& d : damages) {
        SCOPED_TRACE(d.name);
        game.write(work_file(d.file), d.content);
        const strings requests = run();
        if (keyed() ? d.fetched_keyed : d.fetched_unkeyed) {
            ASSERT_GE(requests.size(), index_fetch().size());
            EXPECT_EQ(requests.back(), "1/index.json.lzma2");
        } else {
            EXPECT_EQ(requests, announcement());
        }
        EXPECT_EQ(run(), announcement());
    }
}

// A new update is fetched whole, and its copy then held in place of the old one.
TEST_P(UpToDateStart, ANewUpdateIsFetched) {
    EXPECT_EQ(documents(run()), index_fetch());
    tree.publish(2, test::test_config({tree.base_url()}, {"bin\\*"}, {"data\\*"}),
                 json::array({tree.add_file(2, "data\\game.dat", "new data")}));
    if (keyed())
        tree.sign(2, key);
    strings expected = announcement();
    if (keyed())
        expected.push_back("2/index.json.sig");
    expected.push_back("2/index.json.lzma2");
    expected.push_back("2/data/game.dat");
    EXPECT_EQ(run(), expected);
    EXPECT_EQ(game.read("data/game.dat"), "new data");
    EXPECT_EQ(run(), announcement());
}

INSTANTIATE_TEST_SUITE_P(Keys, UpToDateStart, testing::Bool(), [](const testing::TestParamInfo<bool>& keys) {
    return keys.param ? "Keyed" : "Unkeyed";
});

} // namespace
} // namespace qz4
