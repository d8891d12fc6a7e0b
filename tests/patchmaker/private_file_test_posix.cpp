// POSIX: the signing key's file is the owner's alone whatever the umask, an existing file is
// never written over, and a key others can read is reported.
#include "common/encoding.hpp"
#include "patchmaker/private_file.hpp"
#include "signatures/signatures.hpp"
#include "tests/patchmaker/patch_maker_support.hpp"
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
    EXPECT_FALSE(readable_by_others(dir.wide("signing.key")));
    EXPECT_FALSE(create_private_file(dir.wide("signing.key"), "other\n"));
    EXPECT_EQ(test::read_file(dir.native("signing.key")), "secret\n");
}

// Any bit for the group or others is one too many; the run says so once and goes on.
TEST(PrivateFilePosix, AKeyOthersCanReadIsReportedAndTheRunGoesOn) {
    struct row {
        mode_t mode;
        bool reported;
    };
    for (const row r : {row{0600, false}, row{0400, false}, row{0700, false}, row{0640, true},
                        row{0604, true}, row{0610, true}, row{0602, true}, row{0644, true}}) {
        SCOPED_TRACE(r.mode);
        test::publisher_dir publisher;
        publisher.configure();
        publisher.add_input("a.txt", "alpha");
        test::write_file(publisher.dir().native("signing.key"), signing_key::generate().key_file_text());
        ASSERT_EQ(::chmod(publisher.dir().native("signing.key").c_str(), r.mode), 0);
        const auto run = publisher.run();
        EXPECT_TRUE(run.completed) << run.console;
        const std::string shown = wide_to_utf8(publisher.dir().wide("signing.key"));
        const std::string warning = "Warning: others can read the signing key " + test::shown(shown) +
                                    "; make it yours alone: chmod 600 '" +
                                    publisher.dir().native("signing.key").string() + "'\n";
        EXPECT_EQ(run.console.find(warning) != std::string::npos, r.reported) << run.console;
        EXPECT_EQ(run.console.find("Warning: others"), run.console.rfind("Warning: others")) << "said once";
    }
    test::temp_dir dir;
    EXPECT_EQ(owner_only_command(dir.wide("it's.key")),
              "chmod 600 '" + dir.path().string() + "/it'\\''s.key'")
        << "a quote in the name does not end the quoting";
}

} // namespace
} // namespace qz4
