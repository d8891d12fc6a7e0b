// POSIX: the signing key's file is the owner's alone whatever the umask, and an existing
// file is never written over.
#include "patchmaker/private_file.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace qz4 {
namespace {

TEST(PrivateFilePosix, OwnerOnlyWhateverTheUmaskAndNeverOverAnExistingFile) {
    test::temp_dir dir;
    const mode_t previous = ::umask(0);
    const bool created = create_private_file(dir.wide("signing.key"), "secret\n");
    ::umask(previous);
    ASSERT_TRUE(created);
    struct stat status {};
    ASSERT_EQ(::stat(dir.native("signing.key").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_FALSE(create_private_file(dir.wide("signing.key"), "other\n"));
    EXPECT_EQ(test::read_file(dir.native("signing.key")), "secret\n");
}

} // namespace
} // namespace qz4
