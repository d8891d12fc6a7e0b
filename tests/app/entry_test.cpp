// The entry point's flow with the program's own path given by the test.
#include "app/launcher_main.hpp"

#include "tests/support/system_probe.hpp"

#include <gtest/gtest.h>

namespace qz4 {
namespace {

// The POSIX stand-in shows the box on standard error; a Windows box would wait for a player.
TEST(EntryPoint, AnUnknownOwnPathIsReportedLikeAGameThatCannotStartPosix) {
    if (const auto reason = test::posix_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    testing::internal::CaptureStderr();
    const int exit_code = run_program({L"launcher", L"-noupdate"}, L"");
    const std::string shown = testing::internal::GetCapturedStderr();
    EXPECT_EQ(exit_code, 0);
    EXPECT_NE(shown.find("An error occurred while starting the gamet."), std::string::npos) << shown;
}

} // namespace
} // namespace qz4
