// Downloader cases that need a POSIX system's devices or its certificate store: skipped here,
// by the same names.
#include <gtest/gtest.h>

TEST(Downloader, FullDiskFailsTheDownloadPosix) {
    GTEST_SKIP() << "needs /dev/full";
}

TEST(Downloader, AnAuthorityTheSystemDoesNotKnowIsRefusedPosix) {
    // Without a CA file Schannel checks the certificate against the system's store when it
    // builds the connection; Wine's Schannel, which runs these tests, checks none at all.
    GTEST_SKIP() << "Windows' own Schannel decides; Wine's checks no certificate without a CA file";
}
