// The built program, run the way a player runs it: copied into a game installation.
#include "app/processes.hpp"
#include "common/encoding.hpp"
#include "tests/support/client_record.hpp"
#include "tests/support/system_probe.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/test_process.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace qz4 {
namespace {

namespace fs = std::filesystem;

class LauncherProgram : public testing::Test {
protected:
    void SetUp() override {
        launcher_ = dir_.native(fs::path(QZ4_LAUNCHER_PATH).filename().string());
        fs::copy_file(QZ4_LAUNCHER_PATH, launcher_);
    }
    void install_client() {
        fs::create_directories(dir_.native("client"));
        fs::copy_file(QZ4_DUMMY_CLIENT_PATH, dir_.native("client/Client.exe"));
    }
    test::run_result run(const std::vector<std::string>& arguments) {
        return test::run_program(launcher_, arguments, dir_.path());
    }

    test::temp_dir dir_;
    fs::path launcher_;
};

TEST_F(LauncherProgram, NoUpdateStartsTheClientWithTheLauncherArguments) {
    install_client();
    // The launcher's own flags reach the client too.
    const std::vector<std::string> arguments = {"-NoUpdate",      "x",          "a b", "-Repair",
                                                "-connections=2", "-maxrate=64"};
    const auto result = run(arguments);
    EXPECT_EQ(result.exit_code, 0) << result.output;
    test::client_record record;
    ASSERT_TRUE(test::wait_for_client_record(dir_.native("client"), record));
    EXPECT_EQ(fs::path(record.working_directory), dir_.native("client"));
    EXPECT_EQ(record.arguments, test::arguments_seen_by_client(arguments));
    EXPECT_EQ(record.marker, "(unset)");
}

// The POSIX stand-in writes the box to standard error. A Windows box waits for the player,
// so there the counterpart below answers it.
TEST_F(LauncherProgram, AMissingClientIsReportedAndTheExitCodeStaysZeroPosix) {
    if (const auto reason = test::posix_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    const auto result = run({"-noupdate"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_NE(result.output.find("An error occurred while starting the gamet."), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("Error: 0x00000002."), std::string::npos) << result.output;
}

TEST_F(LauncherProgram, PatchMakerModeWinsOverLauncherFlags) {
    install_client();
    const auto result = run({"-noupdate", "-PatchMaker"});
    test::client_record record;
    EXPECT_FALSE(test::wait_for_client_record(dir_.native("client"), record, std::chrono::milliseconds(500)));
    EXPECT_TRUE(result.exit_code == 0 || result.exit_code == 1) << result.output;
}

// The patch maker's result becomes the exit code: 1 for a run that went through, 0 otherwise.
TEST_F(LauncherProgram, ThePatchMakerExitCodeSaysWhetherTheRunWentThrough) {
    struct step {
        const char* what;
        std::function<void()> prepare;
        int exit_code;
    };
    const step steps[] = {
        {"first start: a configuration is made, nothing published", [] {}, 0},
        {"a game to publish",
         [&] {
             fs::create_directories(dir_.native("input"));
             test::write_file(dir_.native("input/a.txt"), "alpha");
         },
         1},
        {"a changed file that cannot be copied",
         [&] {
             test::write_file(dir_.native("input/a.txt"), "beta");
             fs::create_directories(dir_.native("output/2/a.txt"));
         },
         0},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        s.prepare();
        const auto result = run({"-patchmaker"});
        EXPECT_EQ(result.exit_code, s.exit_code) << result.output;
    }
    EXPECT_TRUE(fs::is_regular_file(dir_.native("output/1/index.json")));
}

TEST_F(LauncherProgram, SleepWithoutPatchMakerChangesNothing) {
    install_client();
    const auto result = run({"-sleep", "-noupdate"});
    EXPECT_EQ(result.exit_code, 0) << result.output;
    test::client_record record;
    ASSERT_TRUE(test::wait_for_client_record(dir_.native("client"), record));
    EXPECT_EQ(record.arguments, test::arguments_seen_by_client({"-sleep", "-noupdate"}));
}

TEST_F(LauncherProgram, AMissingClientIsReportedInASystemModalBoxWindows) {
    if (const auto reason = test::windows_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    test::background_process launcher(launcher_, {"-noupdate"}, dir_.path());
    // The splash shows first and stays while the box waits for the player.
    const auto splash = test::wait_for_window(launcher.id(), L"VellmarkSplashWnd", std::chrono::seconds(30));
    ASSERT_TRUE(splash.has_value()) << "the launcher shows no splash window";
    EXPECT_EQ(*splash, L"Tarnwood");
    const auto box = test::answer_message_box(launcher.id(), test::button_ok, std::chrono::seconds(30));
    ASSERT_TRUE(box.has_value()) << "no message box appeared (the tests need a display: run them in Xvfb)";
    EXPECT_EQ(box->caption, L"Tarnwood");
    EXPECT_NE(box->text.find(L"An error occurred while starting the gamet."), std::wstring::npos);
    EXPECT_NE(box->text.find(L"Error: 0x00000002."), std::wstring::npos) << wide_to_utf8(box->text);
    EXPECT_EQ(box->buttons, std::vector<int>{test::button_ok});
    EXPECT_TRUE(box->topmost) << "a system-modal box stays in front";
    EXPECT_EQ(launcher.wait_for_exit(std::chrono::seconds(30)), 0);
}

// Windows: the client's whole command line, the launcher's own arguments passed on as they
// were split, unquoted.
TEST_F(LauncherProgram, NoUpdateGivesTheClientTheLauncherCommandLineWindows) {
    if (const auto reason = test::windows_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    install_client();
    const auto result = run({"-noupdate", "a", "b c"});
    EXPECT_EQ(result.exit_code, 0) << result.output;
    test::client_record record;
    ASSERT_TRUE(test::wait_for_client_record(dir_.native("client"), record));
    const std::wstring client = test::wide_path(dir_.native("client/Client.exe"));
    EXPECT_EQ(record.command_line, wide_to_utf8(L"\"" + client + L"\" -noupdate a b c"));
    EXPECT_EQ(record.arguments, (std::vector<std::string>{"-noupdate", "a", "b", "c"}));
}

} // namespace
} // namespace qz4
