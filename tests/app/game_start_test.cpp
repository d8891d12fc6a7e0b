#include "app/game_instances.hpp"
#include "app/game_start.hpp"
#include "app/message_box.hpp"
#include "app/processes.hpp"
#include "common/encoding.hpp"
#include "tests/support/client_record.hpp"
#include "tests/support/system_probe.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/test_process.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

namespace qz4 {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A game installation in a scratch directory with the stand-in client as client/Client.exe.
class GameInstallation : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir_.native("client"));
        fs::copy_file(QZ4_DUMMY_CLIENT_PATH, client_path());
    }
    void TearDown() override { set_yes_no_handler({}); }

    fs::path client_directory() const { return dir_.native("client"); }
    fs::path client_path() const { return dir_.native("client/Client.exe"); }

    // Counts the questions and gives the scripted answer.
    void answer_questions(bool answer) {
        set_yes_no_handler([this, answer](const std::wstring&, const std::wstring&) {
            ++questions_;
            return answer;
        });
    }

    test::temp_dir dir_;
    std::atomic<int> questions_{0};
};

TEST_F(GameInstallation, GameStartsInItsDirectoryWithTheLauncherArguments) {
    const std::vector<std::wstring> launcher = {L"launcher", L"-noupdate", L"a b", L"\u0416"};
    ASSERT_TRUE(start_game(test::wide_path(client_path()), launcher));
    test::client_record record;
    ASSERT_TRUE(test::wait_for_client_record(client_directory(), record));
    EXPECT_EQ(fs::path(record.working_directory), client_directory());
    EXPECT_EQ(record.arguments, test::arguments_seen_by_client({"-noupdate", "a b", "\xD0\x96"}));
}

TEST_F(GameInstallation, TheGameInheritsTheMarkerVariable) {
    ASSERT_TRUE(set_environment_variable(L"QZ4LAUNCHER", L"true"));
    const bool started = start_game(test::wide_path(client_path()), {L"launcher"});
    set_environment_variable(L"QZ4LAUNCHER", L"");
    ASSERT_TRUE(started);
    test::client_record record;
    ASSERT_TRUE(test::wait_for_client_record(client_directory(), record));
    EXPECT_EQ(record.marker, "true");
    EXPECT_TRUE(record.arguments.empty());
}

TEST_F(GameInstallation, AMissingClientReportsFileNotFound) {
    EXPECT_FALSE(start_game(dir_.wide("client\\Missing.exe"), {L"launcher"}));
    EXPECT_EQ(last_system_error(), 2u);
}

TEST_F(GameInstallation, RelaunchKeepsTheCommandLine) {
    const std::vector<std::wstring> tokens = {test::wide_path(client_path()), L"-noselfupdate", L"x y"};
    ASSERT_TRUE(relaunch_program(test::wide_path(client_path()), tokens));
    test::client_record record;
    ASSERT_TRUE(test::wait_for_client_record(client_directory(), record));
    EXPECT_EQ(fs::path(record.working_directory), client_directory());
    EXPECT_EQ(record.arguments, test::arguments_seen_by_client({"-noselfupdate", "x y"}));
}

// After a self-update /proc/self/exe names the old copy, which has moved aside: the
// restart must start what is at the launcher's own path. (On Windows the restart takes the
// process's own command line, which here is the test program's.)
TEST_F(GameInstallation, RelaunchStartsTheProgramAtTheGivenPathPosix) {
    if (const auto reason = test::posix_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    ASSERT_TRUE(relaunch_self(test::wide_path(client_path()), {L"old-launcher", L"-x"}));
    test::client_record record;
    ASSERT_TRUE(test::wait_for_client_record(client_directory(), record));
    EXPECT_EQ(record.arguments, std::vector<std::string>{"-x"});
}

// The terminal splash blocks SIGINT in the launcher's threads; the game must not inherit
// that, or the player could never stop it with Ctrl+C.
TEST_F(GameInstallation, TheGameStartsWithCtrlCUnblockedPosix) {
    if (const auto reason = test::posix_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    bool started = false;
    test::with_interrupt_blocked(
        [&] { started = start_game(test::wide_path(client_path()), {L"launcher"}); });
    ASSERT_TRUE(started);
    test::client_record record;
    ASSERT_TRUE(test::wait_for_client_record(client_directory(), record));
    EXPECT_EQ(record.notes, std::vector<std::string>{"sigint=unblocked"});
}

TEST_F(GameInstallation, NoRunningClientMeansNoQuestion) {
    answer_questions(true);
    EXPECT_TRUE(close_game_instances(test::wide_path(client_path()), 10ms));
    EXPECT_EQ(questions_, 0);
}

TEST_F(GameInstallation, DecliningLeavesTheClientRunning) {
    test::background_process client(client_path(), {"--wait"}, client_directory());
    test::client_record record;
    ASSERT_TRUE(test::wait_for_client_record(client_directory(), record));
    answer_questions(false);
    EXPECT_FALSE(close_game_instances(test::wide_path(client_path()), 10ms));
    EXPECT_EQ(questions_, 1);
    EXPECT_FALSE(client.finished());
}

TEST_F(GameInstallation, AcceptingEndsTheClientAndAsksOnce) {
    test::background_process client(client_path(), {"--wait"}, client_directory());
    test::client_record record;
    ASSERT_TRUE(test::wait_for_client_record(client_directory(), record));
    answer_questions(true);
    EXPECT_TRUE(close_game_instances(test::wide_path(client_path()), 50ms));
    EXPECT_EQ(questions_, 1);
    for (int i = 0; i < 100 && !client.finished(); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(client.finished());
}

// However small the first buffer, every running process is listed: the client among them.
TEST_F(GameInstallation, ProcessListingGrowsUntilEveryProcessFits) {
    test::background_process client(client_path(), {"--wait"}, client_directory());
    test::client_record record;
    ASSERT_TRUE(test::wait_for_client_record(client_directory(), record));
    for (const std::size_t capacity : {std::size_t{1}, std::size_t{2}, default_process_capacity}) {
        SCOPED_TRACE(testing::Message() << "first buffer for " << capacity << " ids");
        const auto ids = enumerate_process_ids(capacity);
        EXPECT_GT(ids.size(), 2u);
        EXPECT_NE(std::find(ids.begin(), ids.end(), client.id()), ids.end());
    }
}

TEST_F(GameInstallation, ClientsFromOtherPathsOrSpellingsAreIgnored) {
    fs::create_directories(dir_.native("other"));
    fs::copy_file(QZ4_DUMMY_CLIENT_PATH, dir_.native("other/Client.exe"));
    test::background_process other(dir_.native("other/Client.exe"), {"--wait"}, dir_.native("other"));
    test::client_record record;
    ASSERT_TRUE(test::wait_for_client_record(dir_.native("other"), record));
    test::background_process ours(client_path(), {"--wait"}, client_directory());
    ASSERT_TRUE(test::wait_for_client_record(client_directory(), record));

    answer_questions(true);
    EXPECT_TRUE(close_game_instances(test::wide_path(client_path()) + L"x", 10ms));
    const std::wstring respelled = test::wide_path(dir_.native("CLIENT/Client.exe"));
    EXPECT_TRUE(close_game_instances(respelled, 10ms));
    EXPECT_EQ(questions_, 0);
    EXPECT_FALSE(other.finished());
    EXPECT_FALSE(ours.finished());
}

// Windows: the client gets one command line, the quoted path and the launcher's arguments
// unquoted, and its runtime splits that line again.
TEST_F(GameInstallation, CommandLineQuotesTheProgramButNotTheArgumentsWindows) {
    if (const auto reason = test::windows_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    // A game path with spaces stays one program name because it is quoted.
    const fs::path spaced = dir_.native("my games/client dir");
    fs::create_directories(spaced);
    fs::copy_file(QZ4_DUMMY_CLIENT_PATH, spaced / "Client.exe");
    const std::wstring game = test::wide_path(spaced / "Client.exe");
    // A launcher argument that held a space (it was quoted on the launcher's command line)
    // reaches the game as two arguments.
    ASSERT_TRUE(start_game(game, {L"launcher", L"-noupdate", L"a b", L"c"}));
    test::client_record record;
    ASSERT_TRUE(test::wait_for_client_record(spaced, record));
    EXPECT_EQ(record.command_line, wide_to_utf8(L"\"" + game + L"\" -noupdate a b c"));
    EXPECT_EQ(record.arguments, (std::vector<std::string>{"-noupdate", "a", "b", "c"}));
    EXPECT_EQ(fs::path(record.working_directory), spaced);
}

} // namespace
} // namespace qz4
