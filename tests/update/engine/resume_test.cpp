// Downloads left half done by a failed attempt, a cancel or an earlier run are continued with
// a range request when the server answers it with that range, and fetched from the start
// otherwise; a partial copy of another server file is never continued.
#include "tests/update/engine/engine_harness.hpp"

#include "update/engine/resumable_download.hpp"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

namespace qz4 {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr std::size_t file_size = resumable_file_size + resumable_file_size / 2;
const std::string guid = test::test_product_guid;

struct logged_request {
    std::string range; // the Range header as sent, "-" without one
    int status = 0;
    std::uint64_t sent = 0;
};

// What the resume route served for one path in one run, oldest first.
std::vector<logged_request> requests_for(const std::string& run, const std::string& path_end) {
    std::vector<logged_request> found;
    for (const std::string& line : test::server_log("_/resume-log/" + run)) {
        std::istringstream words(line);
        std::string path;
        logged_request request;
        words >> path >> request.range >> request.status >> request.sent;
        if (path.size() >= path_end.size() &&
            path.compare(path.size() - path_end.size(), path_end.size(), path_end) == 0)
            found.push_back(request);
    }
    return found;
}

std::string range_from(std::uint64_t offset) {
    return "bytes=" + std::to_string(offset) + "-";
}

class Resume : public testing::Test {
protected:
    // The tree through the resume route; every test has runs of its own on the server.
    std::string host(const std::string& options) {
        return test::routed_url(tree, "_/resume/" + options + ",run=" + run_ + "/");
    }
    bool run(const std::string& host_url) {
        auto launcher = game.launcher({host_url});
        const bool result = launcher->run(splash, restart);
        error_text = launcher->error_text;
        return result;
    }
    [[nodiscard]] std::string download_area(const std::string& relative) const {
        return ".temp/" + guid + "/downloading/" + relative;
    }

    const std::string run_ = std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) +
                             "-" + std::to_string(std::random_device{}());
    test::served_tree tree{std::string("resume-") +
                           testing::UnitTest::GetInstance()->current_test_info()->name()};
    test::game_install game;
    test::recording_splash splash;
    bool restart = false;
    std::wstring error_text;
};

// A first attempt cut short, and what the server answers to the range of the second. With the
// publisher's keys the part on disk is hashed with SHA-256 too, and the whole file checked.
TEST_F(Resume, TheNextAttemptContinuesWhereTheLastStoppedWhenTheServerAnswersTheRange) {
    struct row {
        const char* range_mode;
        std::uint64_t cut;
        bool packed;
        std::vector<std::string> ranges; // asked in order, after the cut request
        bool keyed = false;
    };
    const signing_key key = signing_key::generate();
    const std::uint64_t half = file_size / 2;
    const row rows[] = {
        {"honor", 1, false, {range_from(1)}},
        {"honor", half, false, {range_from(half)}},
        {"honor", file_size - 1, false, {range_from(file_size - 1)}},
        {"honor", half, true, {range_from(half)}},
        {"ignore", half, false, {range_from(half), "-"}}, // 200 to the range: from the start
        {"refuse", half, false, {range_from(half), "-"}}, // 416: from the start
        {"honor", half, false, {range_from(half)}, true},
        {"honor", half, true, {range_from(half)}, true},
    };
    for (const row& r : rows) {
        const std::string name = "f" + std::to_string(&r - rows) + ".bin";
        SCOPED_TRACE(name + " " + r.range_mode + " cut at " + std::to_string(r.cut) +
                     (r.keyed ? ", keys" : ""));
        const std::string content = test::random_bytes(file_size, static_cast<std::uint32_t>(&r - rows));
        const json entry = tree.add_file(1, name, content, r.packed);
        const std::string server_name = entry["r"].get<std::string>();
        const std::uint64_t server_size = entry["r_size"].get<std::uint64_t>();
        const std::string options =
            "cut=" + std::to_string(std::min(r.cut, server_size - 1)) + ",range=" + r.range_mode;
        // The configuration's host list is the one the downloads use.
        tree.publish(1, test::test_config({host(options)}), json::array({entry}));
        tree.sign(1, key);
        test::game_install install;
        auto launcher = install.launcher({host(options)}, nullptr,
                                         r.keyed ? std::vector<public_key>{key.public_half()}
                                                 : std::vector<public_key>{});
        EXPECT_TRUE(launcher->run(splash, restart));
        EXPECT_EQ(install.read(name), content);

        const auto asked = requests_for(run_, server_name);
        ASSERT_EQ(asked.size(), 1 + r.ranges.size());
        EXPECT_EQ(asked[0].range, "-");
        for (std::size_t i = 0; i < r.ranges.size(); ++i)
            EXPECT_EQ(asked[i + 1].range, r.ranges[i]) << "request " << i + 1;
        if (std::string(r.range_mode) == "honor") {
            EXPECT_EQ(asked[1].status, 206);
            EXPECT_EQ(asked[0].sent + asked[1].sent, server_size) << "nothing fetched twice";
        } else {
            EXPECT_EQ(asked.back().sent, server_size);
        }
        EXPECT_FALSE(install.exists(download_area(name + (r.packed ? ".lzma2.resume" : ".temp.resume"))));
    }
}

// Every attempt of the first run is cut at the same offset (the continued ones get nothing,
// and the third failure in a row ends the pass), so the run ends with the file half there; the
// next run continues it, unless the server file it belongs to has changed.
TEST_F(Resume, ALaterRunContinuesTheCopyOfTheSameServerFileOnly) {
    const std::uint64_t cut = file_size / 3;
    const std::string route = host("cut=" + std::to_string(cut) + ",cuts=3");
    const std::string first = test::random_bytes(file_size, 1);
    tree.publish(1, test::test_config({route}), json::array({tree.add_file(1, "a.bin", first)}));

    EXPECT_TRUE(run(route));
    EXPECT_FALSE(game.exists("a.bin"));
    EXPECT_EQ(fs::file_size(game.root() / download_area("a.bin.temp")), cut) << "the part received is kept";
    EXPECT_TRUE(game.exists(download_area("a.bin.temp.resume")));

    EXPECT_TRUE(run(route));
    EXPECT_EQ(error_text, L"") << "the second run went through";
    EXPECT_EQ(game.read("a.bin"), first);
    auto asked = requests_for(run_, "1/a.bin");
    ASSERT_EQ(asked.size(), 4u);
    EXPECT_EQ(asked[3].range, range_from(cut));
    EXPECT_EQ(asked[3].sent, file_size - cut);

    // Update 2's copy of the same path is left cut; the run for update 3 does not continue it.
    tree.publish(2, test::test_config({route}),
                 json::array({tree.add_file(2, "a.bin", test::random_bytes(file_size, 2))}));
    EXPECT_TRUE(run(route));
    EXPECT_EQ(fs::file_size(game.root() / download_area("a.bin.temp")), cut);
    const std::string third = test::random_bytes(file_size, 3);
    const std::string plain_route = host("range=honor");
    tree.publish(3, test::test_config({plain_route}), json::array({tree.add_file(3, "a.bin", third)}));
    EXPECT_TRUE(run(plain_route));
    EXPECT_EQ(game.read("a.bin"), third);
    asked = requests_for(run_, "3/a.bin");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].range, "-");
    EXPECT_EQ(asked[0].sent, file_size);
}

// Closing the splash while several large files are in flight ends every transfer at its next
// progress report, counts no failure and keeps what arrived; the next run asks for the rest.
TEST_F(Resume, ACancelWithSeveralTransfersInFlightKeepsTheirCopiesForTheNextRun) {
    json entries = json::array();
    std::map<std::string, std::string> expected;
    for (int i = 0; i < 4; ++i) {
        const std::string name = "c" + std::to_string(i) + ".bin";
        expected[name] = test::random_bytes(file_size, 10 + i);
        entries.push_back(tree.add_file(1, name, expected[name]));
        entries.back()["r"] = entries.back()["r"].get<std::string>() + "?rate=2000000";
    }
    tree.publish(1, test::test_config({tree.base_url()}), entries);
    splash.close_when = [](const std::wstring& text) {
        const std::wstring prefix = L"Downloading updates (";
        return text.rfind(prefix, 0) == 0 && std::stoi(text.substr(prefix.size())) >= 20;
    };
    auto launcher = game.launcher({tree.base_url()});
    ASSERT_EQ(launcher->connections, default_connections);
    EXPECT_TRUE(launcher->run(splash, restart));
    EXPECT_EQ(launcher->error_text, L"Cancelled by user");
    EXPECT_TRUE(launcher->download_errors().empty());
    std::size_t kept = 0;
    for (const auto& [name, content] : expected) {
        EXPECT_FALSE(game.exists(name));
        kept += game.exists(download_area(name + ".temp.resume"));
    }
    EXPECT_GE(kept, 2u) << "several transfers were in flight";

    test::recording_splash again;
    auto next = game.launcher({tree.base_url()});
    EXPECT_TRUE(next->run(again, restart));
    EXPECT_EQ(next->error_text, L"");
    for (const auto& [name, content] : expected)
        EXPECT_EQ(game.read(name), content);
}

} // namespace
} // namespace qz4
