#include <gtest/gtest.h>

namespace {

TEST(SplashTerminalPosix, SkippedOnWindows) {
    GTEST_SKIP() << "the terminal display exists on POSIX systems only";
}

} // namespace
