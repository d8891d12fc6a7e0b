// Retrieval with the publisher's keys built in: what is taken, what is refused and how the
// run reports it, the record against rollbacks, and key rotation.
#include "common/encoding.hpp"
#include "signatures/signatures.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"

#include "tests/support/http_test_server.hpp"
#include "tests/update/engine/engine_harness.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <random>

namespace qz4 {
namespace {

using nlohmann::json;
using strings = std::vector<std::string>;
namespace fs = std::filesystem;

void publish_signed(test::served_tree& tree, std::uint32_t n, const signing_key& by, bool packed = true) {
    tree.publish(n, test::test_config({tree.base_url()}), json::array(), packed);
    tree.sign(n, by);
}

class SignedRetrieval : public testing::Test {
protected:
    // One attempt, so that a refusal is seen once.
    bool fetch(game_launcher& launcher) {
        launcher.max_attempts = 1;
        std::uint32_t host = 0;
        number = 0;
        return launcher.fetch_index(index, number, host, splash);
    }
    void publish(std::uint32_t n, const signing_key& by) { publish_signed(tree, n, by); }
    std::string work_file(const std::string& name) const {
        return ".temp/" + std::string(test::test_product_guid) + "/" + name;
    }
    void forget_held_index() const { fs::remove(game.root() / work_file("index.json")); }
    std::vector<public_key> keys(std::initializer_list<const signing_key*> list) const {
        std::vector<public_key> result;
        for (const auto* key : list)
            result.push_back(key->public_half());
        return result;
    }

    signing_key old_key = signing_key::generate();
    signing_key new_key = signing_key::generate();
    test::served_tree tree;
    test::game_install game;
    test::recording_splash splash;
    json index;
    std::uint32_t number = 0;
};

TEST_F(SignedRetrieval, ASignedTreeIsTakenWithEitherKeyAndWithoutOne) {
    publish(3, old_key);
    auto keyless = game.launcher({tree.base_url()});
    ASSERT_TRUE(fetch(*keyless));
    EXPECT_EQ(tree.requests(), (strings{"version.json", "3/index.json.lzma2"}));

    auto rotating = game.launcher({tree.base_url()}, nullptr, keys({&new_key, &old_key}));
    ASSERT_TRUE(fetch(*rotating));
    EXPECT_EQ(number, 3u);
    EXPECT_EQ(index["config"]["guid"], test::test_product_guid);
    EXPECT_EQ(tree.requests(), (strings{"version.json", "3/index.json.lzma2", "version.json",
                                        "version.json.sig", "3/index.json.sig", "3/index.json.lzma2"}));
    EXPECT_EQ(json::parse(game.read(work_file("accepted.json"))), (json{{"accepted", 3}}));
    EXPECT_TRUE(game.exists(work_file("index.json.sig"))) << "kept to vouch for the held index";
    EXPECT_FALSE(game.exists(work_file("version.json.sig")));
}

// Every way a served tree can fail the keys, each refused with its detail, and the run with
// every host refused ends as one that could not reach them.
TEST_F(SignedRetrieval, EveryUnsignedOrWronglySignedTreeIsRefused) {
    struct row {
        const char* name;
        std::function<void(test::served_tree&)> serve;
        std::string detail;
    };
    const signing_key& old = old_key;
    const signing_key& current = new_key;
    const std::vector<row> rows{
        {"signed by a removed key", [&](test::served_tree& t) { publish_signed(t, 3, old); }, "version.json"},
        {"version.json unsigned",
         [&](test::served_tree& t) {
             publish_signed(t, 3, current);
             fs::remove(t.path("version.json.sig"));
         },
         "version.json"},
        {"index unsigned",
         [&](test::served_tree& t) {
             publish_signed(t, 3, current);
             fs::remove(t.path("3/index.json.sig"));
         },
         "3/index.json"},
        {"update 3's index and signature served as update 4",
         [&](test::served_tree& t) {
             publish_signed(t, 3, current);
             publish_signed(t, 4, current);
             for (const char* name : {"index.json", "index.json.lzma2", "index.json.sig"})
                 test::write_file(t.path(std::string("4/") + name),
                                  test::read_file(t.path(std::string("3/") + name)));
         },
         "4/index.json"},
        {"signed for another product",
         [&](test::served_tree& t) {
             t.publish(3, test::test_config({t.base_url()}), json::array());
             t.sign(3, current, "8c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97");
         },
         "version.json"},
        {"both index copies altered",
         [&](test::served_tree& t) {
             publish_signed(t, 3, current);
             t.publish(3, test::test_config({t.base_url(), "http://elsewhere/"}), json::array());
         },
         "3/index.json"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        test::served_tree served;
        test::game_install install;
        r.serve(served);
        auto launcher = install.launcher({served.base_url()}, nullptr, keys({&new_key}));
        EXPECT_FALSE(fetch(*launcher));
        EXPECT_FALSE(install.exists(work_file("version.json")));
        EXPECT_FALSE(install.exists(work_file("index.json")));
        EXPECT_FALSE(install.exists(work_file("accepted.json")));
        bool restart = false;
        EXPECT_TRUE(launcher->run(splash, restart));
        const std::string detail = "\nRefused: no valid signature for " + served.base_url() + r.detail;
        EXPECT_EQ(launcher->error_text, L"Could not download update index." + utf8_to_wide(detail));
    }
}

// An altered packed index gives way to the plain one, which holds; and sampled byte flips,
// each served alone, of the plain index or of its signature are all refused. (The thousand
// flips of each are in the signature module's tests: here every flip costs a retrieval.)
TEST_F(SignedRetrieval, AlteredIndexBytesAreRefused) {
    publish(3, new_key);
    test::write_file(tree.path("3/index.json.lzma2"), test::read_file(tree.path("3/index.json.lzma2")) + "x");
    auto launcher = game.launcher({tree.base_url()}, nullptr, keys({&new_key}));
    ASSERT_TRUE(fetch(*launcher));

    fs::remove(tree.path("3/index.json.lzma2"));
    const std::string plain = test::read_file(tree.path("3/index.json"));
    const std::string signature = test::read_file(tree.path("3/index.json.sig"));
    std::mt19937 random(14);
    int refused = 0;
    constexpr int flips = 20;
    for (int i = 0; i < 2 * flips; ++i) {
        const bool in_index = i < flips;
        std::string altered = in_index ? plain : signature;
        const auto mask = static_cast<char>(std::uniform_int_distribution<int>(1, 255)(random));
        altered[std::uniform_int_distribution<std::size_t>(0, altered.size() - 1)(random)] ^= mask;
        test::write_file(tree.path(in_index ? "3/index.json" : "3/index.json.sig"), altered);
        forget_held_index(); // else the copy taken before serves, and nothing is fetched
        refused += fetch(*launcher) ? 0 : 1;
        test::write_file(tree.path(in_index ? "3/index.json" : "3/index.json.sig"),
                         in_index ? plain : signature);
    }
    EXPECT_EQ(refused, 2 * flips);
    EXPECT_TRUE(fetch(*launcher)) << "the tree as signed is still taken";
}

TEST_F(SignedRetrieval, AnOlderSignedUpdateIsRefusedAsARollback) {
    publish(5, new_key);
    auto launcher = game.launcher({tree.base_url()}, nullptr, keys({&new_key}));
    ASSERT_TRUE(fetch(*launcher));
    const std::string accepted = game.read(work_file("accepted.json"));

    publish(4, new_key);
    EXPECT_FALSE(fetch(*launcher));
    EXPECT_EQ(game.read(work_file("accepted.json")), accepted);
    bool restart = false;
    EXPECT_TRUE(launcher->run(splash, restart));
    EXPECT_EQ(launcher->error_text,
              L"Could not download update index.\nRefused: rollback from update 5 to 4");

    // The same update again, and then a newer one, are taken.
    publish(5, new_key);
    EXPECT_TRUE(fetch(*launcher));
    publish(6, new_key);
    EXPECT_TRUE(fetch(*launcher));
    EXPECT_EQ(json::parse(game.read(work_file("accepted.json"))), (json{{"accepted", 6}}));
}

// A signed version.json is taken until its expiry by the launcher's clock; one without an
// expiry, as an older patch maker wrote, is refused too. A launcher without keys reads only
// the number.
TEST_F(SignedRetrieval, AnAnnouncementIsTakenOnlyBeforeItsExpiry) {
    static constexpr std::uint64_t now = 1'750'000'000; // 2025-06-15 15:06:40 UTC
    game.clock = [] { return std::chrono::system_clock::time_point(std::chrono::seconds(now)); };
    const std::string announced_by = " announced by " + tree.base_url() + "version.json";
    struct row {
        const char* name;
        json version; // served for update 3, signed
        bool keyed;
        std::string refusal; // empty when taken
    };
    const std::vector<row> rows{
        {"a second before its expiry", {{"gameupdate", 3}, {"expires", now + 1}}, true, ""},
        {"at its expiry",
         {{"gameupdate", 3}, {"expires", now}},
         true,
         "update 3" + announced_by + " expired at 2025-06-15 15:06:40 UTC"},
        {"a day after it",
         {{"gameupdate", 3}, {"expires", now - 86400}},
         true,
         "update 3" + announced_by + " expired at 2025-06-14 15:06:40 UTC"},
        {"without an expiry", {{"gameupdate", 3}}, true, "update 3" + announced_by + " has no expiry time"},
        {"an expiry in words",
         {{"gameupdate", 3}, {"expires", "2030-01-01"}},
         true,
         "update 3" + announced_by + " has no expiry time"},
        {"a negative expiry",
         {{"gameupdate", 3}, {"expires", -1}},
         true,
         "update 3" + announced_by + " has no expiry time"},
        {"expired, to a launcher without keys", {{"gameupdate", 3}, {"expires", now - 86400}}, false, ""},
    };
    publish(3, new_key);
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        test::game_install install;
        install.clock = game.clock;
        test::write_file(tree.path("version.json"), json_text_compact(r.version));
        tree.sign(3, new_key);
        auto launcher = install.launcher({tree.base_url()}, nullptr, r.keyed ? keys({&new_key}) : keys({}));
        EXPECT_EQ(fetch(*launcher), r.refusal.empty());
        EXPECT_EQ(install.exists(work_file("version.json")), r.refusal.empty());
        bool restart = false;
        EXPECT_TRUE(launcher->run(splash, restart));
        if (!r.refusal.empty())
            EXPECT_EQ(launcher->error_text,
                      utf8_to_wide("Could not download update index.\nRefused: " + r.refusal));
        else
            EXPECT_EQ(launcher->error_text, L"");
    }
}

// The oldest update a launcher with keys takes is the highest it took before, and never one
// below its built-in minimum: on a fresh install, and where the record of what it took is
// damaged, the minimum alone holds.
TEST_F(SignedRetrieval, NoUpdateBelowTheHighestTakenOrTheBuiltInMinimum) {
    const auto record = [](std::uint32_t n) { return json_text_compact({{"accepted", n}}); };
    struct row {
        const char* name;
        std::optional<std::string> record; // accepted.json before the retrieval
        std::uint32_t minimum;
        std::uint32_t announced;
        std::string refusal;              // empty when taken
        std::optional<std::string> after; // accepted.json after it
    };
    const std::string below_five = "update 4 is older than update 5, the oldest this launcher takes";
    const std::vector<row> rows{
        {"a fresh install, below the minimum", std::nullopt, 5, 4, below_five, std::nullopt},
        {"a fresh install, at the minimum", std::nullopt, 5, 5, "", record(5)},
        {"a record that is not JSON", "not json", 5, 4, below_five, "not json"},
        {"a record beyond 32 bits", R"({"accepted":4294967301})", 5, 4, below_five,
         R"({"accepted":4294967301})"},
        {"a record beyond 32 bits is damaged, not update 7", R"({"accepted":4294967303})", 5, 6, "",
         record(6)},
        {"a damaged record is replaced by a newer update", R"({"accepted":"9"})", 5, 6, "", record(6)},
        {"a record above the minimum", record(7), 5, 6, "rollback from update 7 to 6", record(7)},
        {"a record below the minimum", record(3), 5, 4, below_five, record(3)},
        {"a record below the minimum, an update above both", record(3), 5, 6, "", record(6)},
        {"no minimum, an empty record", "{}", 0, 1, "", record(1)},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        test::served_tree served;
        publish_signed(served, r.announced, new_key);
        test::game_install install;
        if (r.record)
            install.write(work_file("accepted.json"), *r.record);
        install.minimum_update = r.minimum;
        auto launcher = install.launcher({served.base_url()}, nullptr, keys({&new_key}));
        EXPECT_EQ(fetch(*launcher), r.refusal.empty());
        if (r.after)
            EXPECT_EQ(install.read(work_file("accepted.json")), *r.after);
        else
            EXPECT_FALSE(install.exists(work_file("accepted.json")));
        if (!r.refusal.empty()) {
            bool restart = false;
            EXPECT_TRUE(launcher->run(splash, restart));
            EXPECT_EQ(launcher->error_text,
                      utf8_to_wide("Could not download update index.\nRefused: " + r.refusal));
        }
    }
}

} // namespace
} // namespace qz4
