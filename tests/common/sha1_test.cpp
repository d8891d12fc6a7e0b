#include "common/sha1.hpp"

#include "tests/support/system_probe.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace qz4 {
namespace {

std::string hash_text(std::string_view message, std::size_t piece = 0) {
    sha1_context context;
    if (piece == 0) {
        context.update(message.data(), static_cast<std::uint32_t>(message.size()));
    } else {
        for (std::size_t at = 0; at < message.size(); at += piece) {
            const std::size_t n = std::min(piece, message.size() - at);
            context.update(message.data() + at, static_cast<std::uint32_t>(n));
        }
    }
    sha1_digest digest{};
    context.final(digest);
    return digest_text(digest);
}

// Runs every test once per block transform this processor offers.
class Sha1Transforms : public testing::TestWithParam<sha1_transform_kind> {
protected:
    void SetUp() override {
        if (!sha1_transform_available(GetParam()))
            GTEST_SKIP() << "this processor has no SHA extensions";
        previous_ = sha1_active_transform();
        ASSERT_TRUE(sha1_select_transform(GetParam()));
    }
    void TearDown() override { (void)sha1_select_transform(previous_); }

private:
    sha1_transform_kind previous_ = sha1_transform_kind::portable;
};

TEST_P(Sha1Transforms, PublishedVectors) {
    struct row {
        std::string message;
        const char* digest;
    };
    const row rows[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmno"
         "pqrst"
         "nopqrstu",
         "a49b2446a02c645bf419f995b67091253a04a259"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        // Around the block end: from 56 bytes on the length field needs a second block.
        {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
        {std::string(63, 'a'), "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
        {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
        {std::string(65, 'a'), "11655326c708d70319be2610e8a57d9a5b959d3b"},
        {std::string(128, 'a'), "ad5b3fdbcb526778c2839d2f151ea753995e26a0"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "message of " << r.message.size() << " bytes");
        EXPECT_EQ(hash_text(r.message), r.digest);
        EXPECT_EQ(hash_text(r.message, 1), r.digest);
        EXPECT_EQ(hash_text(r.message, 63), r.digest);
    }
}

TEST_P(Sha1Transforms, AgreesWithPortableTransformOnRandomInput) {
    std::mt19937 generator(7);
    for (int round = 0; round < 50; ++round) {
        const std::string message = test::random_bytes(generator() % 5000, generator());
        const std::size_t piece = 1 + generator() % 300;
        const std::string candidate = hash_text(message, piece);
        ASSERT_TRUE(sha1_select_transform(sha1_transform_kind::portable));
        const std::string reference = hash_text(message);
        ASSERT_TRUE(sha1_select_transform(GetParam()));
        ASSERT_EQ(candidate, reference) << "length " << message.size() << ", pieces of " << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(, Sha1Transforms,
                         testing::Values(sha1_transform_kind::portable,
                                         sha1_transform_kind::x86_sha_extensions),
                         [](const testing::TestParamInfo<sha1_transform_kind>& param_info) {
                             return param_info.param == sha1_transform_kind::portable ? "Portable"
                                                                                      : "ShaExtensions";
                         });

TEST(Sha1, DigestTextIsLowerCaseAndPadded) {
    sha1_digest digest{};
    digest[0] = 0x0A;
    digest[19] = 0xF0;
    EXPECT_EQ(digest_text(digest), "0a000000000000000000000000000000000000f0");
}

TEST(Sha1, FinalDoesNotResetButResetDoes) {
    sha1_context context;
    context.update("abc", 3);
    sha1_digest first{};
    context.final(first);
    // Without a reset the next message continues from the padded state: a final that reset
    // the context would give the first digest again here.
    context.update("abc", 3);
    sha1_digest without_reset{};
    context.final(without_reset);
    EXPECT_NE(without_reset, first);
    context.reset();
    context.update("abc", 3);
    sha1_digest after_reset{};
    context.final(after_reset);
    EXPECT_EQ(after_reset, first);
}

TEST(FileSha1, EmptyTextForMissingDirectoryAndEmptyFiles) {
    test::temp_dir dir;
    test::write_file(dir.native("empty"), "");
    std::filesystem::create_directory(dir.native("folder"));
    byte_buffer buffer;
    sha1_context context;
    EXPECT_EQ(file_sha1(dir.wide("missing"), buffer, context), "");
    EXPECT_EQ(file_sha1(dir.wide("folder"), buffer, context), "");
    EXPECT_EQ(file_sha1(dir.wide("empty"), buffer, context), "");
}

TEST(FileSha1, OneContextAndBufferServeASequenceOfFiles) {
    test::temp_dir dir;
    // The large file spans several read chunks and ends in a partial block.
    const std::string large = test::random_bytes((3 << 20) + 17, 1);
    test::write_file(dir.native("large.bin"), large);
    test::write_file(dir.native("small.txt"), "abc");
    byte_buffer buffer;
    sha1_context context;
    EXPECT_EQ(file_sha1(dir.wide("large.bin"), buffer, context), hash_text(large));
    EXPECT_EQ(file_sha1(dir.wide("small.txt"), buffer, context), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(file_sha1(dir.wide("missing"), buffer, context), "");
    EXPECT_EQ(file_sha1(dir.wide("small.txt"), buffer, context), "a9993e364706816aba3e25717850c26c9cd0d89d");
    // The buffer is bounded by the chunk size, not by the file.
    EXPECT_LE(buffer.storage.size(), std::size_t{1} << 20);
}

// Windows: a file that another program is writing has no digest yet, and gets one as soon as
// the writer lets go.
TEST(FileSha1, FileHeldOpenForWritingHasNoDigestWindows) {
    if (const auto reason = test::windows_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    test::temp_dir dir;
    test::write_file(dir.native("busy.bin"), "held content");
    byte_buffer buffer;
    sha1_context context;
    test::held_file writer(dir.wide("busy.bin"), test::held_file::access::write_sharing_read_write);
    ASSERT_TRUE(writer.is_open());
    EXPECT_EQ(file_sha1(dir.wide("busy.bin"), buffer, context), "");
    writer.close();
    EXPECT_EQ(file_sha1(dir.wide("busy.bin"), buffer, context), "4929cf5ef4bb2bfad01204b8abb3dc0abaec93ea");
}

} // namespace
} // namespace qz4
