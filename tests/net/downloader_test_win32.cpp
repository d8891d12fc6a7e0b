// Downloader cases that need a POSIX system's devices: skipped here, by the same names.
#include <gtest/gtest.h>

TEST(Downloader, FullDiskFailsTheDownloadPosix) {
    GTEST_SKIP() << "needs /dev/full";
}
