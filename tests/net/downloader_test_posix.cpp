// Downloader cases that need a POSIX system's devices, or its certificate store.
#include "net/downloader.hpp"

#include "tests/support/http_test_server.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace qz4 {
namespace {

namespace fs = std::filesystem;

// The last bytes of a file reach the disk when it is closed; a full disk then must not pass
// for a complete download, whether it shows during the transfer or only at the close.
TEST(Downloader, FullDiskFailsTheDownloadPosix) {
    test::temp_dir dir;
    downloader loader;
    for (const char* url : {"_/bytes/100", "_/bytes/300000"}) {
        SCOPED_TRACE(url);
        // A link, so that deleting the failed target removes the link and not the device.
        fs::create_symlink("/dev/full", dir.native("full.bin"));
        EXPECT_FALSE(loader.download(test::http_server().url(url), dir.wide("full.bin")));
        EXPECT_EQ(loader.last_error, "CURL error: 23");
        EXPECT_FALSE(fs::is_symlink(dir.native("full.bin")));
    }
    EXPECT_TRUE(fs::exists("/dev/full"));
}

// Without a CA file the system's store alone decides, and the tests' authority is not in it.
TEST(Downloader, AnAuthorityTheSystemDoesNotKnowIsRefusedPosix) {
    test::temp_dir dir;
    downloader loader;
    EXPECT_FALSE(loader.download(test::http_server().tls_url + "_/bytes/10", dir.wide("target.bin")));
    EXPECT_EQ(loader.last_error, "CURL error: 60");
    EXPECT_FALSE(fs::exists(dir.native("target.bin")));
}

} // namespace
} // namespace qz4
