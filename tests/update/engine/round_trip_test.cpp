// The two modes meeting through the server tree: the patch maker publishes a client tree,
// the test server serves its output, and the launcher installs it into an empty game
// directory; then one file changes and only that file travels.
#include "update/documents/manifests.hpp"

#include "tests/patchmaker/patch_maker_support.hpp"
#include "tests/update/engine/engine_harness.hpp"

#include <gtest/gtest.h>

namespace qz4 {
namespace {

namespace fs = std::filesystem;

std::size_t file_requests(const std::vector<std::string>& requests) {
    std::size_t count = 0;
    for (const auto& request : requests)
        count += request != "version.json" && request.find("/index.json") == std::string::npos;
    return count;
}

TEST(RoundTrip, ThePublishedTreeIsInstalledByteForByteAndAChangeTravelsAlone) {
    test::served_tree tree;
    test::publisher_dir publisher;
    nlohmann::json config = publisher_config_template(test::test_product_guid);
    config["client"]["hosts"] = nlohmann::json::array({tree.base_url()});
    publisher.configure(config);
    std::map<std::string, std::string> client;
    for (int i = 0; i < 30; ++i)
        client["client/data/file" + std::to_string(i) + ".txt"] =
            std::string(1000 + 997 * i, char('a' + i % 26));
    client["client/Client.exe"] = test::random_bytes(90000, 7);
    client["client/packed here.bin"] = std::string(100000, 'z');
    client["config/user.cfg"] = "volume=3";
    client["client/Данные.dat"] = test::random_bytes(20000, 8);
    for (const auto& [path, content] : client)
        publisher.add_input(path, content);

    const auto publish = [&] {
        ASSERT_TRUE(publisher.run(2).completed);
        fs::copy(publisher.dir().native("output"), tree.path(),
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    };
    publish();

    test::game_install game;
    test::recording_splash splash;
    bool restart = false;
    ASSERT_TRUE(game.launcher({tree.base_url()})->run(splash, restart));
    std::map<std::string, std::string> expected = client;
    expected["launcher.exe"] = "the running launcher";
    EXPECT_TRUE(test::same_files(game.client_files(), expected));
    EXPECT_EQ(file_requests(tree.requests()), client.size());

    const std::size_t before = tree.requests().size();
    // Only files the check rules name are compared (the template checks client\*.exe and
    // client\*.dll by digest, config\*.* by stamp); a changed one travels alone.
    publisher.add_input("config/user.cfg", "volume=7");
    publish();
    ASSERT_TRUE(game.launcher({tree.base_url()})->run(splash, restart));
    expected["config/user.cfg"] = "volume=7";
    EXPECT_TRUE(test::same_files(game.client_files(), expected));
    const std::vector<std::string> all = tree.requests();
    const std::vector<std::string> second(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    EXPECT_EQ(file_requests(second), 1u);
    EXPECT_FALSE(restart);
}

} // namespace
} // namespace qz4
