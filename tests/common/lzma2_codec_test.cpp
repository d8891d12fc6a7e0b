// The packed container: round trips, the header, every way unpacking can fail, the memory
// limit, and interoperation with the xz command (proof that the stream is plain LZMA2).
#include "common/lzma2_codec.hpp"

#include "tests/support/system_probe.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/test_process.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace qz4 {
namespace {

using test::read_file;
using test::write_file;

const std::filesystem::path xz_program = "/usr/bin/xz";
const std::string xz_settings =
    "--lzma2=preset=5,dict=16MiB,lc=3,lp=0,pb=2,nice=32,mode=normal,mf=bt4,depth=32";

std::string compressible_text(std::size_t size) {
    std::string text;
    unsigned state = 12345;
    while (text.size() < size) {
        state = state * 1103515245U + 12345U;
        text += "line " + std::to_string((state >> 16) % 5000) + " of the quick brown fox\n";
    }
    text.resize(size);
    return text;
}

std::string header_of(std::uint64_t size, std::uint8_t dictionary_byte = packed_dictionary_byte,
                      std::uint32_t magic = packed_file_magic) {
    std::string header;
    for (int i = 0; i < 4; ++i)
        header += static_cast<char>(magic >> (8 * i));
    for (int i = 0; i < 8; ++i)
        header += static_cast<char>(size >> (8 * i));
    header += static_cast<char>(dictionary_byte);
    return header;
}

class Lzma2Codec : public testing::Test {
protected:
    // Packs `content` and returns the packed bytes.
    std::string pack(const std::string& content) {
        write_file(dir.native("plain"), content);
        EXPECT_EQ(lzma2_file_codec(false, dir.wide("plain"), dir.wide("packed")), lzma2_result::ok);
        return read_file(dir.native("packed"));
    }
    // Unpacks `packed` and returns the code; the result is in dir "unpacked".
    int unpack(const std::string& packed, std::uint64_t limit = lzma2_default_memory_limit) {
        write_file(dir.native("in.lzma2"), packed);
        return lzma2_file_codec(true, dir.wide("in.lzma2"), dir.wide("unpacked"), limit);
    }
    std::string unpacked() { return read_file(dir.native("unpacked")); }

    test::temp_dir dir;
};

TEST_F(Lzma2Codec, RoundTripsAndWritesTheHeader) {
    struct row {
        const char* name;
        std::string content;
    };
    const row rows[] = {
        {"one byte", "x"},
        {"short text", "hello, packed world\r\n"},
        {"random, several 64 KiB steps", test::random_bytes(300 * 1024 + 7, 1)},
        {"text, several LZMA2 chunks", compressible_text(5 * 1024 * 1024 + 3)},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string packed = pack(r.content);
        ASSERT_GE(packed.size(), packed_header_size + 1);
        EXPECT_EQ(packed.substr(0, 13), header_of(r.content.size()));
        EXPECT_EQ(packed.back(), '\0') << "the stream ends with its end byte";
        ASSERT_EQ(unpack(packed), lzma2_result::ok);
        EXPECT_TRUE(unpacked() == r.content);
    }
}

TEST_F(Lzma2Codec, EmptySourcePacksToHeaderAndEndByte) {
    const std::string packed = pack("");
    EXPECT_EQ(packed, header_of(0) + std::string(1, '\0'));
    EXPECT_EQ(unpack(packed), lzma2_result::ok);
    EXPECT_TRUE(std::filesystem::exists(dir.native("unpacked")));
    EXPECT_EQ(unpacked(), "");
}

TEST_F(Lzma2Codec, DeclaredSizeRules) {
    const std::string content = compressible_text(200 * 1024 + 11);
    const std::string stream = pack(content).substr(packed_header_size);
    struct row {
        const char* name;
        std::uint64_t declared;
        std::string stream;
        int code;
        std::string output;
    };
    const row rows[] = {
        {"smaller than the stream: cut there", 1000, stream, 0, content.substr(0, 1000)},
        {"smaller, not on a step boundary", 65536 + 5, stream, 0, content.substr(0, 65536 + 5)},
        {"zero: nothing is decoded", 0, stream, 0, ""},
        {"larger: decoded bytes are kept", content.size() + 1, stream, 1, content},
        {"undeclared: until the end byte", packed_size_undeclared, stream, 0, content},
        {"undeclared, end byte missing", packed_size_undeclared, stream.substr(0, stream.size() - 1), 1,
         content},
        {"declared, stream cut in the middle", content.size(), stream.substr(0, stream.size() / 2), 1, ""},
        {"undeclared, stream cut in the middle", packed_size_undeclared, stream.substr(0, stream.size() / 2),
         1, ""},
        {"declared, no stream at all", content.size(), "", 1, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(unpack(header_of(r.declared) + r.stream), r.code);
        if (!r.output.empty() || r.code == 0) {
            EXPECT_TRUE(unpacked() == r.output);
        }
    }
}

TEST_F(Lzma2Codec, BadHeadersAndCorruptStreams) {
    const std::string content = compressible_text(100000);
    const std::string packed = pack(content);
    std::string corrupt = packed;
    for (std::size_t i = 40; i < 60; ++i)
        corrupt[i] = static_cast<char>(corrupt[i] ^ 0x5A);
    struct row {
        const char* name;
        std::string file;
        int code;
    };
    const row rows[] = {
        {"empty file", "", 1},
        {"12 bytes", packed.substr(0, 12), 1},
        {"wrong magic", header_of(content.size(), 24, 0x30ECEF14) + packed.substr(13), 1},
        {"dictionary byte 41", header_of(content.size(), 41) + packed.substr(13), 4},
        {"dictionary byte 255", header_of(content.size(), 255) + packed.substr(13), 4},
        {"corrupt stream", corrupt, 1},
        {"dictionary byte too small for the stream", header_of(content.size(), 0) + packed.substr(13), 1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(unpack(r.file), r.code);
        // The target is created before the header is read; the caller deletes it.
        EXPECT_TRUE(std::filesystem::exists(dir.native("unpacked")));
        if (r.code == 4) {
            EXPECT_EQ(unpacked(), "");
        }
    }
}

TEST_F(Lzma2Codec, FilesThatCannotBeOpened) {
    write_file(dir.native("plain"), "content");
    for (const bool unpack_file : {false, true}) {
        SCOPED_TRACE(unpack_file ? "unpack" : "pack");
        EXPECT_EQ(lzma2_file_codec(unpack_file, dir.wide("missing"), dir.wide("target")),
                  lzma2_result::cannot_open);
        EXPECT_FALSE(std::filesystem::exists(dir.native("target"))) << "a missing source creates no target";
        EXPECT_EQ(lzma2_file_codec(unpack_file, dir.wide(), dir.wide("target")), lzma2_result::cannot_open)
            << "a directory is no source";
        EXPECT_EQ(lzma2_file_codec(unpack_file, dir.wide("plain"), dir.wide("no\\such\\dir\\target")),
                  lzma2_result::cannot_open);
    }
}

// A hostile header must not make the decoder reserve what it claims; a real 16 MiB file
// must still unpack under the default limit.
TEST_F(Lzma2Codec, MemoryLimit) {
    const std::string content = compressible_text(50000);
    const std::string stream = pack(content).substr(packed_header_size);
    struct row {
        const char* name;
        std::uint64_t declared;
        std::uint8_t dictionary_byte;
        std::uint64_t limit;
        int code;
    };
    const row rows[] = {
        {"4 GiB dictionary, no size declared", packed_size_undeclared, 40, lzma2_default_memory_limit, 4},
        {"4 GiB dictionary, small size declared", content.size(), 40, lzma2_default_memory_limit, 0},
        {"4 GiB dictionary, 4 GiB declared", 0xFFFFFFFFULL, 40, lzma2_default_memory_limit, 4},
        {"our 16 MiB dictionary, no size declared", packed_size_undeclared, 24, lzma2_default_memory_limit,
         0},
        {"our 16 MiB dictionary under a 1 MiB limit", packed_size_undeclared, 24, 1 << 20, 4},
        {"small declared size under a 1 MiB limit", content.size(), 24, 1 << 20, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(unpack(header_of(r.declared, r.dictionary_byte) + stream, r.limit), r.code);
        if (r.code == 0) {
            EXPECT_TRUE(unpacked() == content);
        }
    }
}

TEST(Lzma2DictionaryByte, Sizes) {
    EXPECT_EQ(lzma2_dictionary_size(0), 4096U);
    EXPECT_EQ(lzma2_dictionary_size(1), 6144U);
    EXPECT_EQ(lzma2_dictionary_size(24), 16U << 20);
    EXPECT_EQ(lzma2_dictionary_size(39), 3U << 30);
    EXPECT_EQ(lzma2_dictionary_size(40), 0xFFFFFFFFU);
    EXPECT_EQ(lzma2_dictionary_size(41), 0U);
}

TEST_F(Lzma2Codec, ReadAndWriteErrorsPosix) {
    if (const auto reason = test::posix_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    if (!std::filesystem::exists("/dev/full") || !std::filesystem::exists("/proc/self/mem"))
        GTEST_SKIP() << "needs /dev/full and /proc/self/mem";
    write_file(dir.native("plain"), compressible_text(300000));
    EXPECT_EQ(lzma2_file_codec(false, dir.wide("plain"), L"\\dev\\full"), lzma2_result::write_error);
    write_file(dir.native("packed"), pack(compressible_text(300000)));
    EXPECT_EQ(lzma2_file_codec(true, dir.wide("packed"), L"\\dev\\full"), lzma2_result::write_error);
    // Reading a process's memory at offset 0 fails: a read error while packing.
    EXPECT_EQ(lzma2_file_codec(false, L"\\proc\\self\\mem", dir.wide("out")), lzma2_result::read_error);
}

class Lzma2CodecXz : public Lzma2Codec {
protected:
    void SetUp() override {
        // Under Wine the Linux tool is visible through drive Z: but cannot be run from here.
        if (const auto reason = test::posix_only_skip_reason(); !reason.empty())
            GTEST_SKIP() << reason;
        if (!std::filesystem::exists(xz_program))
            GTEST_SKIP() << "the xz command is not installed";
    }
    void run_xz(const std::vector<std::string>& arguments) {
        const auto result = test::run_program(xz_program, arguments, dir.path());
        ASSERT_EQ(result.exit_code, 0) << result.output;
    }
};

TEST_F(Lzma2CodecXz, XzDecodesOurStreamPosix) {
    const std::string content = compressible_text(3 * 1024 * 1024) + test::random_bytes(100000, 7);
    const std::string packed = pack(content);
    write_file(dir.native("stream.raw"), packed.substr(packed_header_size));
    run_xz({"--format=raw", "--lzma2=dict=16MiB,lc=3,lp=0,pb=2", "--suffix=.raw", "-d", "-k", "stream.raw"});
    EXPECT_TRUE(read_file(dir.native("stream")) == content);
}

TEST_F(Lzma2CodecXz, WeUnpackXzStreamPosix) {
    const std::string content = compressible_text(2 * 1024 * 1024) + test::random_bytes(70000, 9);
    write_file(dir.native("data"), content);
    run_xz({"--format=raw", xz_settings, "--suffix=.raw", "-k", "data"});
    const std::string stream = read_file(dir.native("data.raw"));
    for (const std::uint64_t declared : {std::uint64_t{content.size()}, packed_size_undeclared}) {
        SCOPED_TRACE(declared);
        EXPECT_EQ(unpack(header_of(declared) + stream), lzma2_result::ok);
        EXPECT_TRUE(unpacked() == content);
    }
    // Another encoder at the same settings: not the same bytes, but about the same size. A
    // setting gone astray (level, dictionary, match finder) shows as a larger difference.
    const double ratio =
        static_cast<double>(pack(content).size() - packed_header_size) / static_cast<double>(stream.size());
    EXPECT_NEAR(ratio, 1.0, 0.01);
}

} // namespace
} // namespace qz4
