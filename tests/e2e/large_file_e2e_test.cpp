// A game file past 4 GiB, the way publishers ship archives: the patch maker publishes it with
// its whole size, nginx serves it, the launcher installs it and then finds it current by its
// stamp. The input is sparse, so only the copies the programs write take room on the disk.
// Slow (gigabytes are hashed, copied and fetched): run by scripts/test-large-files.sh, not by
// the presets' test runs.
#include "update/documents/manifests.hpp"

#include "tests/e2e/e2e_support.hpp"
#include "tests/patchmaker/patch_maker_support.hpp"
#include "tests/support/client_record.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/test_process.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>

namespace qz4 {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using strings = std::vector<std::string>;

// Its low 32 bits are the size of the head and tail alone: a launcher that compared those
// would take the short file for this one.
constexpr std::uint64_t pak_size = (std::uint64_t{1} << 32) + 64;
constexpr char pak_head[] = "pak head: the index of the archive\n";
constexpr char pak_tail[] = "pak tail\n";

// The head, a hole of zeros, and the tail in the last bytes.
void write_sparse_pak(const fs::path& path) {
    fs::create_directories(path.parent_path());
    {
        std::ofstream file(path, std::ios::binary);
        file << pak_head;
    }
    fs::resize_file(path, pak_size - (sizeof pak_tail - 1));
    std::ofstream file(path, std::ios::binary | std::ios::app);
    file << pak_tail;
}

// The first and last bytes of a file, read without going through the gigabytes between.
std::string ends_of(const fs::path& path, std::size_t head, std::size_t tail) {
    std::ifstream file(path, std::ios::binary);
    std::string start(head, '\0');
    std::string end(tail, '\0');
    file.read(start.data(), static_cast<std::streamsize>(head));
    file.seekg(-static_cast<std::streamoff>(tail), std::ios::end);
    file.read(end.data(), static_cast<std::streamsize>(tail));
    return file ? start + end : std::string();
}

// For the log: where the minutes go.
struct stopwatch {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    void report(const char* what) const {
        const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - start;
        std::cout << what << " in " << taken.count() << " s\n";
    }
};

TEST(LargeFiles, APakPast4GiBIsPublishedInstalledAndThenFoundCurrent) {
    test::nginx_site site;
    site.remove("qz4");
    test::publisher_dir publisher;
    test::temp_dir game;
    test::write_file(publisher.dir().native("signing.key"), QZ4_E2E_SIGNING_KEY "\n");
    publisher.add_input("client/Client.exe", test::read_file(QZ4_DUMMY_CLIENT_PATH));
    write_sparse_pak(publisher.dir().native("input/client/data/world.pak"));

    // Published as it is: packing gigabytes would take minutes, and a publisher may keep
    // archives unpacked that the game compresses itself.
    json config = publisher_config_template("7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97");
    config["client"]["hosts"] = json::array({site.base_url() + "qz4/"});
    config["client"]["check"]["soft_check"] = json::array({"client\\data\\*"});
    config["maker"]["packer"]["minsize"] = std::uint64_t{1} << 40;
    publisher.configure(config);
    stopwatch phase;
    const auto published = publisher.run(2);
    phase.report("published");
    ASSERT_TRUE(published.completed) << published.console;
    // Served from where the patch maker wrote it: a copy would write gigabytes more.
    fs::create_directory_symlink(publisher.dir().native("output"), site.www() / "qz4");
    const std::shared_ptr<void> unserved(nullptr, [&](void*) { site.remove("qz4"); });
    const json index = publisher.read_json("output/1/index.json");
    const auto& records = index.at("files");
    const auto pak = std::find_if(records.begin(), records.end(), [](const json& record) {
        return record.at("l") == "client\\data\\world.pak";
    });
    ASSERT_NE(pak, records.end()) << index.dump();
    EXPECT_EQ(pak->at("l_size"), pak_size) << "written in full";
    EXPECT_EQ(pak->at("r_size"), pak_size);
    EXPECT_EQ(read_file_record(*pak).l_size, pak_size);

    const fs::path launcher = game.path() / fs::path(QZ4_E2E_LAUNCHER_PATH).filename();
    fs::copy_file(QZ4_E2E_LAUNCHER_PATH, launcher);
    const auto launch = [&] {
        fs::remove(game.native("client/client_record.txt"));
        const auto run = test::run_program(launcher, {}, game.path(), std::chrono::minutes(10));
        EXPECT_EQ(run.exit_code, 0) << run.output;
        test::client_record record;
        EXPECT_TRUE(test::wait_for_client_record(game.native("client"), record, std::chrono::seconds(60)));
        EXPECT_EQ(record.marker, "true");
    };
    (void)site.new_requests();
    phase = {};
    launch();
    phase.report("installed");
    const fs::path installed = game.native("client/data/world.pak");
    ASSERT_TRUE(fs::exists(installed));
    EXPECT_EQ(fs::file_size(installed), pak_size);
    EXPECT_EQ(ends_of(installed, sizeof pak_head - 1, sizeof pak_tail - 1), std::string(pak_head) + pak_tail);
    const strings fetched = test::paths_of(site.new_requests());
    EXPECT_NE(std::find(fetched.begin(), fetched.end(), "/qz4/1/client/data/world.pak"), fetched.end());

    // Current by its stamp, which holds the whole size: nothing is fetched.
    phase = {};
    launch();
    phase.report("found current");
    EXPECT_EQ(test::paths_of(site.new_requests()), (strings{"/qz4/version.json", "/qz4/version.json.sig"}));
}

} // namespace
} // namespace qz4
