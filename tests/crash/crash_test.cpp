// An update cut short after any one of the engine's disk operations, the launcher replacing
// itself included: one clean rerun must leave exactly the published game, the launcher at
// its own name, nothing half-done, and a cache that a third run trusts without downloading.
//
// The environment picks the campaign: QZ4_CRASH_FILES (files of the first update, 8 by
// default), QZ4_CRASH_POINTS (0 by default: every kill point, or every QZ4_CRASH_STRIDE-th,
// and of a file's inner writes every QZ4_CRASH_WRITE_STRIDE-th; otherwise that many random
// points), QZ4_CRASH_SEED.
#include "app/processes.hpp"
#include "common/encoding.hpp"
#include "update/documents/manifests.hpp"

#include "tests/crash/kill_point.hpp"
#include "tests/e2e/e2e_support.hpp"
#include "tests/patchmaker/patch_maker_support.hpp"
#include "tests/support/client_record.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/test_process.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <thread>

namespace qz4 {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using clock_type = std::chrono::steady_clock;

constexpr char product_guid[] = "7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97";

std::size_t environment_number(const char* name, std::size_t fallback) {
    const char* value = std::getenv(name);
    return value && *value ? static_cast<std::size_t>(std::strtoull(value, nullptr, 10)) : fallback;
}

void set_variable(const char* name, const std::string& value) {
    ASSERT_TRUE(set_environment_variable(utf8_to_wide(name), utf8_to_wide(value)));
}

// The game as it was, into an empty directory (std::filesystem::copy refuses an existing
// target on Windows).
void copy_tree(const fs::path& from, const fs::path& to) {
    for (const auto& entry : fs::recursive_directory_iterator(from)) {
        const fs::path target = to / fs::relative(entry.path(), from);
        if (entry.is_directory())
            fs::create_directories(target);
        else
            fs::copy_file(entry.path(), target);
    }
}

// The published client of one update: relative path to content.
using client_files = std::map<std::string, std::string>;

// Mixed sizes and kinds: text the packer packs, noise it copies, small files below its
// minimum size, in a few folders.
std::string generated_content(std::size_t index, std::uint32_t generation) {
    const std::size_t sizes[] = {300, 3000, 20000, 60000, 200000};
    const std::size_t size = sizes[(index * 7 + generation) % 5] + index;
    if (index % 3 == 0)
        return test::random_bytes(size, static_cast<std::uint32_t>(index * 131 + generation));
    return std::to_string(generation) + "\n" + test::text_of(size);
}

std::string data_path(std::size_t index) {
    return "client/d" + std::to_string(index % 4) + "/f" + std::to_string(index) +
           (index % 3 ? ".txt" : ".bin");
}

class CrashConsistency : public testing::Test {
protected:
    void SetUp() override {
        launcher_name_ = fs::path(QZ4_CRASH_LAUNCHER_PATH).filename().string();
        record_path_ = records_.native("operations");
        config_ = publisher_config_template(product_guid);
        config_["client"]["hosts"] = json::array({site_.base_url() + "qz4/"});
        config_["client"]["check"]["hard_check"] = json::array({"client\\*.exe"});
        config_["client"]["check"]["soft_check"] = json::array({launcher_name_, "client\\*", "client\\*\\*"});
        site_.remove("qz4");
    }
    void TearDown() override {
        set_variable("QZ4_CRASH_AFTER", "");
        set_variable("QZ4_CRASH_COUNT_FILE", "");
    }

    // The first update installed, the second published: the state every kill point starts from.
    void prepare(std::size_t file_count) {
        const std::string launcher = test::read_file(QZ4_CRASH_LAUNCHER_PATH);
        add("client/Client.exe", test::read_file(QZ4_DUMMY_CLIENT_PATH));
        add(launcher_name_, launcher);
        publish_launcher();
        for (std::size_t i = 0; i < file_count; ++i)
            add(data_path(i), generated_content(i, 1));
        publish();
        fs::copy_file(QZ4_CRASH_LAUNCHER_PATH, installed_.native(launcher_name_));
        ASSERT_TRUE(run_and_start_client(installed_, launcher_name_)) << "the first update did not install";

        // Half the files change, a fifth more are added, and the launcher is new (a file
        // that still runs).
        for (std::size_t i = 0; i < file_count; i += 2)
            add(data_path(i), generated_content(i, 2));
        for (std::size_t i = file_count; i < file_count + (file_count + 4) / 5; ++i)
            add(data_path(i), generated_content(i, 2));
        add(launcher_name_, launcher + std::string(64, '\x5A'));
        publish_launcher();
        publish();
        (void)site_.new_requests();
    }

    void add(const std::string& relative, const std::string& content) {
        client_[relative] = content;
        publisher_.add_input(relative, content);
    }

    // The launcher is tens of MiB in a sanitizer build: published on its own as a copy, which
    // the next runs keep, so that no test waits for it to be packed.
    void publish_launcher() {
        config_["maker"]["packer"]["minsize"] = 1u << 30;
        publish();
        config_["maker"]["packer"]["minsize"] = 16384;
    }

    void publish() { ASSERT_TRUE(test::publish_and_serve(publisher_, config_, site_)); }

    // Runs the launcher file `name` in `game` until the game client has started (true) or
    // the operation table has ended the process (false).
    bool run_and_start_client(const test::temp_dir& game, const std::string& name) {
        fs::remove(game.native("client/client_record.txt"));
        (void)test::run_program(game.native(name), {}, game.path(), std::chrono::seconds(120));
        // A restarted launcher outlives the first process; it either starts the client or
        // leaves the kill mark.
        const auto deadline = clock_type::now() + std::chrono::seconds(60);
        while (clock_type::now() < deadline) {
            test::client_record record;
            if (test::wait_for_client_record(game.native("client"), record, std::chrono::milliseconds(50)))
                return true;
            if (fs::exists(record_path_) && test::read_file(record_path_).ends_with(test::killed_mark))
                return false;
        }
        ADD_FAILURE() << "neither the game started nor the launcher was killed";
        return false;
    }

    // Every published file as published, and nothing else but the work area's documents and
    // the client's record of its start.
    std::string tree_problems(const test::temp_dir& game) const {
        std::string problems;
        for (const auto& [relative, content] : client_) {
            const fs::path path = game.native(relative);
            if (!fs::exists(path))
                problems += " missing:" + relative;
            else if (test::read_file(path) != content)
                problems += " differs:" + relative;
        }
        const std::set<std::string> expected_extra = {
            "client/client_record.txt",  work_area("cache.json"),     work_area("config.json"),
            work_area("version.json"),   work_area("index.json"),     work_area("index.json.lzma2"),
            work_area("index.json.sig"), work_area("held_index.json")};
        for (const auto& entry : fs::recursive_directory_iterator(game.path())) {
            const std::string relative = fs::relative(entry.path(), game.path()).generic_string();
            if (entry.is_regular_file() && !client_.contains(relative) && !expected_extra.contains(relative))
                problems += " left:" + relative;
        }
        return problems;
    }
    std::string work_area(const std::string& name) const {
        return std::string(".temp/") + product_guid + "/" + name;
    }

    // One kill point: empty when the game survived it, otherwise what was wrong.
    std::string survive(const std::string& kill_point) {
        test::temp_dir game;
        copy_tree(installed_.path(), game.path());
        fs::remove(record_path_);
        set_variable("QZ4_CRASH_COUNT_FILE", record_path_.string());
        set_variable("QZ4_CRASH_AFTER", kill_point);
        (void)run_and_start_client(game, launcher_name_);
        set_variable("QZ4_CRASH_AFTER", "");
        set_variable("QZ4_CRASH_COUNT_FILE", "");
        fs::remove(record_path_); // its kill mark would end the reruns' waits
        if (fs::exists(game.native(launcher_name_)))
            return rerun_repairs(game, launcher_name_);
        // Cut between the self-update's renames: a player finds old- and new-<name> and may
        // start either.
        ++restarts_from_copy_;
        test::temp_dir twin;
        copy_tree(game.path(), twin.path());
        return rerun_repairs(game, "old-" + launcher_name_) + rerun_repairs(twin, "new-" + launcher_name_);
    }

    std::string rerun_repairs(const test::temp_dir& game, const std::string& name) {
        if (!fs::exists(game.native(name)))
            return " no " + name + " to start;";
        if (!run_and_start_client(game, name))
            return " the rerun (" + name + ") did not start the game;";
        if (const std::string problems = tree_problems(game); !problems.empty())
            return " after the rerun (" + name + "):" + problems + ";";
        (void)site_.new_requests();
        if (!run_and_start_client(game, launcher_name_))
            return " the third run did not start the game;";
        std::string fetched;
        for (const auto& path : test::paths_of(site_.new_requests()))
            if (!path.ends_with("/version.json") && path.find("/index.json") == std::string::npos)
                fetched += " " + path;
        return fetched.empty() ? std::string() : " the third run downloaded" + fetched + ";";
    }

    // Operation kinds of a whole update, one letter each (see counting_operations.cpp).
    std::string full_update_operations() {
        test::temp_dir game;
        copy_tree(installed_.path(), game.path());
        fs::remove(record_path_);
        set_variable("QZ4_CRASH_COUNT_FILE", record_path_.string());
        const bool started = run_and_start_client(game, launcher_name_);
        set_variable("QZ4_CRASH_COUNT_FILE", "");
        EXPECT_TRUE(started);
        EXPECT_EQ(tree_problems(game), "");
        return test::read_file(record_path_);
    }

    test::nginx_site site_;
    test::publisher_dir publisher_;
    test::temp_dir installed_;
    test::temp_dir records_;
    fs::path record_path_;
    json config_;
    client_files client_;
    std::string launcher_name_;
    std::size_t restarts_from_copy_ = 0; // kills that left the launcher only as old-/new-
};

// Every stride-th operation; inside a run of writes to one file, where each point leaves the
// same kind of state (a partial file), every write_stride-th.
std::vector<std::string> every_point(const std::string& operations, std::size_t stride,
                                     std::size_t write_stride) {
    std::vector<std::string> points;
    std::size_t others = 0;
    for (std::size_t i = 0; i < operations.size(); ++i) {
        const bool inner_write = operations[i] == 'w' && i > 0 && operations[i - 1] == 'w' &&
                                 i + 1 < operations.size() && operations[i + 1] == 'w';
        if (inner_write ? i % write_stride == 0 : others++ % stride == 0)
            points.push_back(std::to_string(i + 1));
    }
    // Renames are where an update commits a file, and a few writes more or less (as the
    // server's chunks come) move them: each is also tried by its own number.
    const auto moves = static_cast<std::size_t>(std::count(operations.begin(), operations.end(), 'm'));
    for (std::size_t move = 1; move <= moves; ++move)
        points.push_back("m" + std::to_string(move));
    return points;
}

std::vector<std::string> random_points(std::size_t total, std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<std::size_t> pick(1, total);
    std::set<std::size_t> points;
    while (points.size() < std::min(count, total))
        points.insert(pick(generator));
    std::vector<std::string> texts;
    for (const std::size_t point : points)
        texts.push_back(std::to_string(point));
    return texts;
}

TEST_F(CrashConsistency, ARerunRepairsAnUpdateKilledAfterAnyOperation) {
    const auto started = clock_type::now();
    prepare(environment_number("QZ4_CRASH_FILES", 8));
    const std::string operations = full_update_operations();
    ASSERT_FALSE(operations.empty());
    const std::size_t random_count = environment_number("QZ4_CRASH_POINTS", 0);
    const auto points =
        random_count == 0
            ? every_point(operations,
                          std::max<std::size_t>(1, environment_number("QZ4_CRASH_STRIDE", QZ4_CRASH_STRIDE)),
                          std::max<std::size_t>(
                              1, environment_number("QZ4_CRASH_WRITE_STRIDE", QZ4_CRASH_WRITE_STRIDE)))
            : random_points(operations.size(), random_count,
                            static_cast<std::uint32_t>(environment_number("QZ4_CRASH_SEED", 13)));

    std::size_t survived = 0;
    for (const std::string& point : points) {
        const std::string failure = survive(point);
        if (failure.empty())
            ++survived;
        else
            ADD_FAILURE() << "killed after operation " << point << ":" << failure;
    }
    const auto seconds = std::chrono::duration<double>(clock_type::now() - started).count();
    std::printf("[crash] %zu files published, %zu operations in the update, kill points tried %zu, "
                "survived %zu, launcher left only as old-/new- %zu, %.1f s\n",
                client_.size(), operations.size(), points.size(), survived, restarts_from_copy_, seconds);
    RecordProperty("kill_points_tried", static_cast<int>(points.size()));
    RecordProperty("kill_points_survived", static_cast<int>(survived));
}

} // namespace
} // namespace qz4
