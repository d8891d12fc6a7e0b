// SHA-256 through the system's implementation, and the two digests of a file taken in one
// pass: the published vectors, any split of a message, and the empty texts of files that
// have no digest.
#include "common/file_digests.hpp"
#include "common/sha256.hpp"

#include "tests/support/system_probe.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <string>

namespace qz4 {
namespace {

std::string sha256_of(std::string_view message, std::size_t piece) {
    sha256_context context;
    for (std::size_t at = 0; at < message.size(); at += piece)
        context.update(message.data() + at, std::min(piece, message.size() - at));
    sha256_digest digest{};
    context.finish(digest);
    return digest_text(digest);
}

// FIPS 180-4's examples and the other vectors NIST publishes with them, whole and in pieces
// that cut the 64-byte blocks anywhere; the same context serves one message after another.
TEST(Sha256, PublishedVectorsInAnyPieces) {
    struct row {
        std::string message;
        const char* digest;
    };
    const row rows[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmno"
         "pqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    sha256_context reused;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.message.substr(0, 20));
        for (const std::size_t piece :
             {std::size_t{1} << 30, std::size_t{1}, std::size_t{63}, std::size_t{65}})
            EXPECT_EQ(sha256_of(r.message, piece), r.digest) << "in pieces of " << piece;
        reused.update(r.message.data(), r.message.size());
        sha256_digest digest{};
        reused.finish(digest);
        EXPECT_EQ(digest_text(digest), r.digest) << "after the message before";
    }
    EXPECT_EQ(sha256_text("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_text(""), "") << "no bytes, no digest text, as with SHA-1";

    reused.update("partial", 7);
    reused.reset();
    reused.update("abc", 3);
    sha256_digest digest{};
    reused.finish(digest);
    EXPECT_EQ(digest_text(digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad")
        << "reset drops what was taken";
}

// Both digests of one file from one context and buffer, file after file, with the empty
// texts file_sha1 gives where a file has no digest; SHA-256 only where it is asked for.
TEST(FileDigests, BothDigestsFileAfterFileAndNoneWithoutContent) {
    test::temp_dir dir;
    // Several read pieces, ending inside a block.
    const std::string large = test::random_bytes((3 << 20) + 17, 2);
    test::write_file(dir.native("large.bin"), large);
    test::write_file(dir.native("abc.txt"), "abc");
    test::write_file(dir.native("empty"), "");
    std::filesystem::create_directory(dir.native("folder"));
    const digest_texts abc = {"a9993e364706816aba3e25717850c26c9cd0d89d",
                              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"};
    struct row {
        const char* file;
        digest_texts expected;
    };
    const row rows[] = {
        {"large.bin", {sha1_text(large), sha256_text(large)}},
        {"abc.txt", abc},
        {"missing", {}},
        {"abc.txt", abc},
        {"folder", {}},
        {"empty", {}},
        {"abc.txt", abc},
    };
    byte_buffer buffer;
    digest_context both(digest_kinds::sha1_and_sha256);
    digest_context sha1_only;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.file);
        EXPECT_EQ(file_digests(dir.wide(r.file), buffer, both), r.expected);
        EXPECT_EQ(file_digests(dir.wide(r.file), buffer, sha1_only), (digest_texts{r.expected.sha1, ""}));
        byte_buffer own;
        sha1_context context;
        EXPECT_EQ(file_sha1(dir.wide(r.file), own, context), r.expected.sha1) << "as file_sha1 gives it";
    }
    EXPECT_LE(buffer.storage.size(), std::size_t{1} << 20) << "bounded by the piece, not by the file";

    // A context switched between kinds, and one fed in pieces that do not fall on its own.
    both.reset(digest_kinds::sha1);
    EXPECT_EQ(file_digests(dir.wide("abc.txt"), buffer, both), (digest_texts{abc.sha1, ""}));
    both.reset(digest_kinds::sha1_and_sha256);
    for (std::size_t at = 0; at < large.size(); at += 40000)
        both.update(large.data() + at, std::min<std::size_t>(40000, large.size() - at));
    EXPECT_EQ(both.finish(), (digest_texts{sha1_text(large), sha256_text(large)}));
    EXPECT_EQ(both.finish(), digest_texts{}) << "nothing taken since";
}

// Windows: a file that another program is writing has no digests yet.
TEST(FileDigests, FileHeldOpenForWritingHasNoDigestsWindows) {
    if (const auto reason = test::windows_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    test::temp_dir dir;
    test::write_file(dir.native("busy.bin"), "abc");
    byte_buffer buffer;
    digest_context context(digest_kinds::sha1_and_sha256);
    test::held_file writer(dir.wide("busy.bin"), test::held_file::access::write_sharing_read_write);
    ASSERT_TRUE(writer.is_open());
    EXPECT_EQ(file_digests(dir.wide("busy.bin"), buffer, context), digest_texts{});
    writer.close();
    EXPECT_EQ(file_digests(dir.wide("busy.bin"), buffer, context).sha256,
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

} // namespace
} // namespace qz4
