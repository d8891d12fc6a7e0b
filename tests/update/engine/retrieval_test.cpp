// Retrieval of version.json and the index through the host list, against the HTTP test
// server: attempts, pauses and their texts, the packed and the plain index, the checks of
// the remote configuration and the host lists it brings.
#include "common/encoding.hpp"
#include "texts/player_texts.hpp"
#include "update/documents/json_document.hpp"

#include "tests/support/http_test_server.hpp"
#include "tests/update/engine/engine_harness.hpp"

#include <gtest/gtest.h>

namespace qz4 {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using strings = std::vector<std::string>;
using texts = std::vector<std::wstring>;
namespace fs = std::filesystem;

const std::wstring connecting = L"Connecting to update server... ";

class Retrieval : public testing::Test {
protected:
    // fetch_index from the host in use, as a run's first pass does.
    bool fetch(game_launcher& launcher, std::uint32_t& host_index) {
        number = 0;
        return launcher.fetch_index(index, number, host_index, splash);
    }
    std::string refused() const { return test::http_server().refused_url; }

    test::game_install game;
    test::recording_splash splash;
    test::faulty_files files;
    json index;
    std::uint32_t number = 0;
};

TEST_F(Retrieval, AnUnreachableFirstHostHandsOverToTheSecond) {
    test::served_tree b("b");
    b.publish(12, test::test_config({b.base_url()}), json::array());
    auto launcher = game.launcher({refused(), b.base_url()}, &files);
    std::uint32_t host = 0;
    ASSERT_TRUE(fetch(*launcher, host));
    EXPECT_EQ(number, 12u);
    EXPECT_EQ(host, 1u);
    EXPECT_EQ(splash.texts(), (texts{connecting, L"Connection attempt #2... "}));
    EXPECT_EQ(game.pauses(), std::vector<milliseconds>{milliseconds(1000)});
    EXPECT_EQ(b.requests(), (strings{"version.json", "12/index.json.lzma2"}));
    EXPECT_EQ(index["config"]["guid"], test::test_product_guid);
}

TEST_F(Retrieval, FailingAttemptsRotateOverTheHostsFromTheHostInUse) {
    struct row {
        std::uint32_t entered_at;
        std::size_t asked_first, asked_second;
    };
    // Three attempts: entries 0, 1, 0 from the start; 1, 1, 0 for a later pass.
    for (const row r : {row{0, 2, 1}, row{1, 1, 2}}) {
        SCOPED_TRACE(testing::Message() << "entered at " << r.entered_at);
        test::served_tree first("first" + std::to_string(r.entered_at));
        test::served_tree second("second" + std::to_string(r.entered_at));
        test::recording_splash fresh;
        auto launcher = game.launcher({first.base_url(), second.base_url()}, &files);
        std::uint32_t host = r.entered_at;
        EXPECT_FALSE(launcher->fetch_index(index, number, host, fresh));
        EXPECT_EQ(first.requests().size(), r.asked_first);
        EXPECT_EQ(second.requests().size(), r.asked_second);
        EXPECT_EQ(fresh.texts(),
                  (texts{connecting, L"Connection attempt #2... ", L"Connection attempt #3... "}));
    }
    EXPECT_EQ(game.pauses().size(), 4u) << "two pauses per retrieval";
}

TEST_F(Retrieval, APackedIndexThatIsMissingOrDamagedGivesWayToThePlainOne) {
    test::served_tree missing("missing");
    missing.publish(3, test::test_config({missing.base_url()}), json::array(), false);
    auto launcher = game.launcher({missing.base_url()}, &files);
    std::uint32_t host = 0;
    ASSERT_TRUE(fetch(*launcher, host));
    EXPECT_EQ(missing.requests(), (strings{"version.json", "3/index.json.lzma2", "3/index.json"}));
    EXPECT_TRUE(game.pauses().empty()) << "all in one attempt";

    test::served_tree damaged("damaged");
    damaged.publish(4, test::test_config({damaged.base_url()}), json::array());
    std::string packed = test::read_file(damaged.path("4/index.json.lzma2"));
    for (std::size_t i = 20; i < packed.size(); ++i)
        packed[i] = static_cast<char>(packed[i] ^ 0x5A);
    test::write_file(damaged.path("4/index.json.lzma2"), packed);
    auto second = game.launcher({damaged.base_url()}, &files);
    ASSERT_TRUE(fetch(*second, host));
    EXPECT_EQ(damaged.requests(), (strings{"version.json", "4/index.json.lzma2", "4/index.json"}));
    EXPECT_FALSE(
        fs::exists(game.dir().native(".temp/" + std::string(test::test_product_guid) + "/index.json.lzma2")));
    EXPECT_EQ(index["files"], json::array());
}

TEST_F(Retrieval, AnIndexLeftByAnEarlierRunIsNeverUsed) {
    test::served_tree tree;
    test::write_file(tree.path("version.json"), R"({"gameupdate":5})");
    auto launcher = game.launcher({tree.base_url()}, &files);
    test::write_file(game.dir().native(".temp/" + std::string(test::test_product_guid) + "/index.json"),
                     json_text_compact(json{{"config", test::test_config({tree.base_url()})}}));
    std::uint32_t host = 0;
    EXPECT_FALSE(fetch(*launcher, host));
}

TEST_F(Retrieval, AVersionFileBeyondItsCapFailsTheAttempt) {
    test::served_tree tree;
    tree.publish(1, test::test_config({tree.base_url()}), json::array());
    test::write_file(tree.path("version.json"), std::string(65 * 1024, ' ') + R"({"gameupdate":1})");
    auto launcher = game.launcher({tree.base_url()}, &files);
    std::uint32_t host = 0;
    EXPECT_FALSE(fetch(*launcher, host));
    EXPECT_EQ(tree.requests(), (strings{"version.json", "version.json", "version.json"}));
}

// The run's answer for each configuration a server may publish.
TEST_F(Retrieval, EveryConfigurationCheckEndsTheRunWithItsText) {
    test::served_tree tree;
    const json good = test::test_config({tree.base_url()});
    auto changed = [&](const char* key, json value) {
        json config = good;
        config[key] = std::move(value);
        return config;
    };
    struct row {
        const char* what;
        json index;
        const wchar_t* error;
    };
    const row rows[] = {
        {"no config", json::object(), L"Remote update config is empty"},
        {"config {}", json{{"config", json::object()}}, L"Remote update config is empty"},
        {"version 0", json{{"config", changed("version", 0)}}, L"Invalid version number"},
        {"hosts []", json{{"config", changed("hosts", json::array())}}, L"Remote config is invalid"},
        {"guid a number", json{{"config", changed("guid", 1)}}, L"Remote config is invalid"},
        {"index an array", json::array({1, 2}), L"Remote config is invalid"},
        {"hosts of numbers", json{{"config", changed("hosts", {1})}}, L"Remote config is invalid"},
        {"an ftp:// host", json{{"config", changed("hosts", {tree.base_url(), "ftp://127.0.0.1/qz4/"})}},
         L"Remote config is invalid"},
        {"check rules of numbers", json{{"config", changed("check", {{"hard_check", {1}}})}},
         L"Remote config is invalid"},
        {"another product", json{{"config", changed("guid", "f00")}}, L"GUID mismatch"},
    };
    std::uint32_t n = 1;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        test::write_file(tree.path(std::to_string(n) + "/index.json"), json_text_compact(r.index));
        test::write_file(tree.path("version.json"), json_text_compact(json{{"gameupdate", n}}));
        ++n;
        auto launcher = game.launcher({tree.base_url()}, &files);
        bool restart = false;
        EXPECT_TRUE(launcher->run(splash, restart)) << "the game starts on the installed files";
        EXPECT_EQ(launcher->error_text, r.error);
        EXPECT_FALSE(restart);
    }
}

TEST_F(Retrieval, AVersionOneHostIsRetrievedThroughOnceAndTheHostIndexStaysInTheList) {
    // The second built-in host serves an index that names a third host, without the slash.
    test::served_tree b("b");
    test::served_tree c("c");
    json v1 = {{"version", 1},
               {"guid", test::test_product_guid},
               {"host", c.base_url().substr(0, c.base_url().size() - 1)}};
    b.publish(7, v1, json::array());
    c.publish(7, v1, json::array());
    auto launcher = game.launcher({refused(), b.base_url()}, &files);
    bool restart = false;
    ASSERT_TRUE(launcher->run(splash, restart));
    EXPECT_EQ(launcher->error_text, L"");
    EXPECT_EQ(launcher->hosts, strings{c.base_url()});
    EXPECT_EQ(c.requests(), (strings{"version.json", "7/index.json.lzma2"}))
        << "one retrieval through c, at once";
    EXPECT_EQ(splash.count(L"Files updated"), 1u);
}

TEST_F(Retrieval, HostsThatNameEachOtherEndTheRun) {
    test::served_tree a("a");
    test::served_tree b("b");
    a.publish(1, json{{"version", 1}, {"guid", test::test_product_guid}, {"host", b.base_url()}},
              json::array());
    b.publish(1, json{{"version", 1}, {"guid", test::test_product_guid}, {"host", a.base_url()}},
              json::array());
    auto launcher = game.launcher({a.base_url()}, &files);
    bool restart = false;
    EXPECT_TRUE(launcher->run(splash, restart));
    EXPECT_EQ(launcher->error_text, L"Remote config is invalid");
}

TEST_F(Retrieval, ClosingTheSplash) {
    test::served_tree b("b");
    b.publish(1, test::test_config({b.base_url()}), json::array());
    {
        // Before the first retrieval: the run refuses the game start.
        auto launcher = game.launcher({b.base_url()}, &files);
        splash.close();
        bool restart = false;
        EXPECT_FALSE(launcher->run(splash, restart));
        EXPECT_EQ(launcher->error_text, L"Cancelled by user");
    }
    // During an attempt that fails: no pause and no further attempt follow.
    test::recording_splash during;
    during.close_when = [](const std::wstring& text) { return text == connecting; };
    auto launcher = game.launcher({refused(), b.base_url()}, &files);
    bool restart = false;
    EXPECT_TRUE(launcher->run(during, restart));
    EXPECT_EQ(launcher->error_text, L"Could not download update index.");
    EXPECT_TRUE(game.pauses().empty());
    EXPECT_TRUE(b.requests().empty());
}

// A host that answers and is refused is named in the run's text with the reason; the game
// then starts on the installed files, as without a server.
TEST_F(Retrieval, ARefusedHostIsNamedInTheRunsText) {
    test::served_tree tree;
    tree.publish(1, test::test_config({tree.base_url()}), json::array());
    const auto& server = test::http_server();
    const std::string other_name = tree.base_url_at(server.other_name_url);
    const std::string to_ftp = server.url("_/redirect-to?url=ftp://127.0.0.1/");
    struct row {
        const char* what;
        std::string host;
        std::wstring error; // empty: the run goes through
    };
    const row rows[] = {
        {"https from the tests' authority", tree.base_url_at(server.tls_url), L""},
        {"a certificate for another name", other_name,
         L"Could not download update index.\nRefused: no trusted https connection for " +
             utf8_to_wide(other_name) + L"version.json (CURL error: 60)"},
        {"a redirect to ftp://", to_ftp,
         L"Could not download update index.\nRefused: " + utf8_to_wide(to_ftp) +
             L"version.json leads to a scheme other than http and https (CURL error: 1)"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        auto launcher = game.launcher({r.host}, &files);
        bool restart = false;
        EXPECT_TRUE(launcher->run(splash, restart));
        EXPECT_EQ(launcher->error_text, r.error);
    }
}

TEST_F(Retrieval, ThreeFailedAttemptsStartTheGameOnTheInstalledFiles) {
    auto launcher = game.launcher({refused()}, &files);
    bool restart = false;
    EXPECT_TRUE(launcher->run(splash, restart));
    EXPECT_EQ(launcher->error_text, L"Could not download update index.");
    EXPECT_EQ(game.pauses().size(), 2u);
    launcher->update_required = true;
    EXPECT_FALSE(launcher->run(splash, restart)) << "unless an update is required";
}

} // namespace
} // namespace qz4
