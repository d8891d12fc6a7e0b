// A launcher with the publisher's keys ties every file to the signed index by SHA-256 as well
// as SHA-1: a file whose SHA-1 matches but whose SHA-256 does not is refused wherever it is
// checked, and an index without the SHA-256 digests fails its files by name. A launcher
// without keys goes by SHA-1 alone, as before.
#include "common/encoding.hpp"
#include "common/sha256.hpp"
#include "signatures/signatures.hpp"

#include "tests/update/engine/engine_harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace qz4 {
namespace {

using nlohmann::json;

class KeyedDigests : public testing::Test {
protected:
    // One run of a launcher for `game` on `tree`'s update 1, with the key or without.
    std::wstring run(test::served_tree& tree, test::game_install& game, bool keyed) {
        std::vector<public_key> keys;
        if (keyed)
            keys.push_back(key.public_half());
        auto launcher = game.launcher({tree.base_url()}, nullptr, keys);
        launcher->connections = 1;
        bool restart = false;
        EXPECT_TRUE(launcher->run(splash, restart));
        return launcher->error_text;
    }
    void publish(test::served_tree& tree, const json& entries) {
        tree.publish(1, test::test_config({tree.base_url()}), entries);
        tree.sign(1, key);
    }

    signing_key key = signing_key::generate();
    test::recording_splash splash;
};

// The digest a SHA-1 collision would leave wrong: the index's SHA-256 of the file or of its
// packed copy names other bytes, while every SHA-1 is right.
TEST_F(KeyedDigests, ASha256MismatchIsRefusedWhereverTheFileIsChecked) {
    const std::string content = test::random_bytes(40000, 5);
    struct row {
        const char* name;
        bool packed;
        const char* wrong; // the member that names other bytes
        bool installed;    // the right file is installed already
        const char* keyed_error;
    };
    const row rows[] = {
        {"plain download", false, "l_sha256", false, "Failed to download 3 files"},
        {"packed download", true, "r_sha256", false, "Failed to download 3 files"},
        {"unpacked copy", true, "l_sha256", false, "Failed to unpack 1 files\nFile: client\\a.bin"},
        {"installed file", true, "l_sha256", true, "Failed to unpack 1 files\nFile: client\\a.bin"},
    };
    for (const row& r : rows) {
        for (const bool keyed : {true, false}) {
            SCOPED_TRACE(std::string(r.name) + (keyed ? ", with keys" : ", without keys"));
            test::served_tree tree(std::string("row") + std::to_string(&r - rows) + (keyed ? "k" : "u"));
            json entry = tree.add_file(1, "client\\a.bin", content, r.packed);
            entry[r.wrong] = sha256_text("other bytes");
            publish(tree, json::array({entry}));
            test::game_install game;
            if (r.installed)
                game.write("client/a.bin", content);

            const std::wstring error = run(tree, game, keyed);
            const auto asked = tree.requests();
            const bool fetched = std::count(asked.begin(), asked.end(), entry["r"].get<std::string>()) > 0;
            if (keyed) {
                EXPECT_EQ(error, utf8_to_wide(r.keyed_error));
                EXPECT_TRUE(fetched) << "an installed file is checked with both digests";
                ASSERT_EQ(game.exists("client/a.bin"), r.installed)
                    << "nothing of the refused file is installed";
                if (r.installed) {
                    EXPECT_EQ(game.read("client/a.bin"), content);
                }
            } else {
                EXPECT_EQ(error, L"");
                EXPECT_EQ(game.read("client/a.bin"), content);
                EXPECT_EQ(fetched, !r.installed);
            }
        }
    }
}

// An index made before SHA-256 (or with a malformed one) meets a launcher with keys: its
// files cannot be checked, so each is named as failed rather than passed over, while an
// entry that has its digests is installed.
TEST_F(KeyedDigests, EntriesWithoutUsableSha256FailByName) {
    test::served_tree tree;
    const json good = tree.add_file(1, "client\\good.bin", "good", false);
    json old = tree.add_file(1, "client\\old.bin", "old", false);
    old.erase("l_sha256");
    json packed = tree.add_file(1, "client\\packed.txt", std::string(30000, 'p'), true);
    packed.erase("r_sha256");
    json malformed = tree.add_file(1, "client\\malformed.cfg", "cfg", false);
    malformed["l_sha256"] = std::string(63, 'a');
    publish(tree, json::array({good, old, packed, malformed}));

    test::game_install keyed_game;
    EXPECT_EQ(run(tree, keyed_game, true),
              L"Failed to download 3 files\nFile: client\\old.bin (No SHA-256 digest in the index)"
              L"\nFile: client\\packed.txt (No SHA-256 digest in the index)"
              L"\nFile: client\\malformed.cfg (No SHA-256 digest in the index)");
    EXPECT_TRUE(splash.saw_prefix(L"Download failed for 3 files"));
    EXPECT_TRUE(
        test::same_files(keyed_game.client_files(),
                         {{"client/good.bin", "good"}, {"launcher.exe", keyed_game.read("launcher.exe")}}));
    const auto asked = tree.requests();
    EXPECT_EQ(std::count(asked.begin(), asked.end(), "1/client/old.bin"), 0) << "nothing unusable is fetched";

    test::game_install plain_game;
    EXPECT_EQ(run(tree, plain_game, false), L"");
    EXPECT_EQ(plain_game.client_files().size(), 5u) << "the four files beside the launcher";
}

} // namespace
} // namespace qz4
