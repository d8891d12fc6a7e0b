// What a power loss could take: the engine flushes what it wrote before a record vouches for
// it (the swapped launcher, the file stamps), and records nothing when the flush is refused.
#include "common/encoding.hpp"
#include "tests/update/engine/engine_harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

namespace qz4 {
namespace {

using nlohmann::json;

// The system's operations, logging renames and flushes in the order they happen.
class ordering_files final : public test::system_files {
public:
    bool move_replace(const std::wstring& from, const std::wstring& to) override {
        record(L"move " + to);
        return system_files::move_replace(from, to);
    }
    std::unique_ptr<file_to_place> open_to_place(const std::wstring& path, std::uint32_t& error) override {
        auto file = system_files::open_to_place(path, error);
        if (!file)
            return nullptr;
        return std::make_unique<logged_placement>(std::move(file), *this);
    }
    std::unique_ptr<output_file> create_file(const std::wstring& path, std::uint32_t& error) override {
        auto file = system_files::create_file(path, error);
        if (!file)
            return nullptr;
        return std::make_unique<test::watched_output>(
            std::move(file), [this](std::unique_ptr<file_to_place> kept) {
                return std::unique_ptr<file_to_place>(
                    std::make_unique<logged_placement>(std::move(kept), *this));
            });
    }
    bool make_durable(const std::wstring& directory, const std::vector<std::wstring>& written) override {
        record(L"flush");
        for (const auto& path : written)
            record(L"flushed " + path);
        return refuse_flush ? false : system_files::make_durable(directory, written);
    }

    bool refuse_flush = false;
    [[nodiscard]] std::vector<std::wstring> log() const {
        const std::lock_guard lock(mutex_);
        return log_;
    }

private:
    class logged_placement final : public forwarding_file_to_place {
    public:
        logged_placement(std::unique_ptr<file_to_place> inner, ordering_files& owner)
            : forwarding_file_to_place(std::move(inner)), owner_(owner) {}
        bool move_over(const std::wstring& target) override {
            owner_.record(L"move " + target);
            return forwarding_file_to_place::move_over(target);
        }

    private:
        ordering_files& owner_;
    };

    void record(std::wstring entry) {
        const std::lock_guard lock(mutex_);
        log_.push_back(std::move(entry));
    }
    mutable std::mutex mutex_; // guards log_: the stages' threads rename too
    std::vector<std::wstring> log_;
};

// Where in the log the first entry with this ending stands; the log's size when none has.
std::size_t position_of(const std::vector<std::wstring>& log, const std::wstring& ending) {
    const auto found = std::find_if(log.begin(), log.end(), [&](const std::wstring& entry) {
        return test::ends_with_path(entry, ending);
    });
    return static_cast<std::size_t>(found - log.begin());
}

TEST(Durability, TheFlushComesAfterTheFilesAndBeforeTheSwapAndTheStampsWhichNeedIt) {
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "flush refused" : "flush done");
        test::served_tree tree;
        test::game_install game;
        tree.publish(1, test::test_config({tree.base_url()}),
                     json::array({tree.add_file(1, "launcher.exe", "the new launcher", true),
                                  tree.add_file(1, "data\\game.dat", "data")}));
        ordering_files files;
        files.refuse_flush = refused;
        test::recording_splash splash;
        bool restart = false;
        const auto launcher = game.launcher({tree.base_url()}, &files);
        ASSERT_TRUE(launcher->run(splash, restart));
        // Without the flush the new launcher waits beside the old one for a later start.
        EXPECT_EQ(restart, !refused);
        EXPECT_EQ(game.read("launcher.exe"), refused ? "the running launcher" : "the new launcher");
        EXPECT_EQ(game.exists("new-launcher.exe"), refused);
        const std::vector<std::wstring> log = files.log();

        const std::size_t flush = position_of(log, L"flush");
        ASSERT_LT(flush, log.size());
        EXPECT_LT(position_of(log, L"\\data\\game.dat"), flush);
        // Named too, for a system that cannot flush the whole volume.
        for (const wchar_t* file : {L"\\data\\game.dat", L"\\new-launcher.exe"}) {
            EXPECT_TRUE(std::any_of(log.begin(), log.end(),
                                    [&](const std::wstring& entry) {
                                        return entry.starts_with(L"flushed ") &&
                                               test::ends_with_path(entry, file);
                                    }))
                << "not named: " << wide_to_utf8(file);
        }
        EXPECT_GT(position_of(log, L"\\launcher.exe"), flush) << "the swap waits for the flush";
        EXPECT_EQ(position_of(log, L"\\launcher.exe") < log.size(), !refused);
        EXPECT_EQ(game.read("data/game.dat"), "data");
        // Without the flush no stamp is recorded: the next run hashes the files again.
        EXPECT_EQ(position_of(log, L"\\cache.json") < log.size(), !refused);
        EXPECT_EQ(
            std::filesystem::exists(game.dir().native(".temp") / test::test_product_guid / "cache.json"),
            !refused);
    }
}

} // namespace
} // namespace qz4
