// The built program, run the way a player runs it: copied into a game installation.
#include "app/processes.hpp"
#include "tests/support/client_record.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/test_process.hpp"

#include <gtest/gtest.h>

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
    const auto result = run({"-NoUpdate", "x", "a b"});
    EXPECT_EQ(result.exit_code, 0) << result.output;
    test::client_record record;
    ASSERT_TRUE(test::wait_for_client_record(dir_.native("client"), record));
    EXPECT_EQ(fs::path(record.working_directory), dir_.native("client"));
    EXPECT_EQ(record.arguments, test::arguments_seen_by_client({"-NoUpdate", "x", "a b"}));
    EXPECT_EQ(record.marker, "(unset)");
}

TEST_F(LauncherProgram, AMissingClientIsReportedAndTheExitCodeStaysZero) {
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

TEST_F(LauncherProgram, SleepWithoutPatchMakerChangesNothing) {
    install_client();
    const auto result = run({"-sleep", "-noupdate"});
    EXPECT_EQ(result.exit_code, 0) << result.output;
    test::client_record record;
    ASSERT_TRUE(test::wait_for_client_record(dir_.native("client"), record));
    EXPECT_EQ(record.arguments, test::arguments_seen_by_client({"-sleep", "-noupdate"}));
}

} // namespace
} // namespace qz4
