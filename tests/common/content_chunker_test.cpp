// The content-defined chunker: cuts pinned to golden offsets (they define stored data), the
// size bounds, the reader agreeing with one-shot cutting whatever blocks its source gives,
// resistance to inserted and deleted bytes, and the limits it refuses.
#include "common/content_chunker.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qz4 {
namespace {

constexpr std::size_t kib = 1024;
constexpr std::size_t mib = 1024 * kib;

// mt19937_64's raw output is fixed by the C++ standard, so the bytes are the same everywhere.
std::vector<std::uint8_t> random_bytes(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t at = 0; at < size; at += 8) {
        const std::uint64_t value = random();
        for (std::size_t i = 0; i < 8 && at + i < size; ++i)
            bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    return bytes;
}

std::vector<chunk_span> one_shot_cuts(const content_chunker& chunker, std::span<const std::uint8_t> bytes) {
    std::vector<chunk_span> cuts;
    std::uint64_t at = 0;
    while (const std::size_t length = chunker.first_chunk(bytes.subspan(at), chunk_input::file_ends)) {
        cuts.push_back({at, length});
        at += length;
    }
    return cuts;
}

// Gives its bytes in blocks of a fixed size, or fails after `fail_after` bytes.
class memory_source final : public chunk_source {
public:
    memory_source(std::span<const std::uint8_t> bytes, std::size_t block,
                  std::optional<std::size_t> fail_after = std::nullopt)
        : bytes_(bytes), block_(block), fail_after_(fail_after) {}

    std::optional<std::size_t> read(std::span<std::uint8_t> into) override {
        if (fail_after_ && at_ >= *fail_after_)
            return std::nullopt;
        const std::size_t count = std::min({block_, into.size(), bytes_.size() - at_});
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), count, into.begin());
        at_ += count;
        return count;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t block_;
    std::optional<std::size_t> fail_after_;
    std::size_t at_ = 0;
};

std::vector<chunk_span> streamed_cuts(const content_chunker& chunker, std::span<const std::uint8_t> bytes,
                                      std::size_t block) {
    memory_source source(bytes, block);
    chunk_reader reader(chunker, source);
    std::vector<chunk_span> cuts;
    chunk_reader::step step{};
    while ((step = reader.next()) == chunk_reader::step::chunk) {
        const chunk_span cut = reader.current();
        cuts.push_back(cut);
        const auto expected = bytes.subspan(cut.offset, cut.length);
        EXPECT_TRUE(std::ranges::equal(reader.current_bytes(), expected))
            << "bytes of the chunk at " << cut.offset;
    }
    EXPECT_EQ(step, chunk_reader::step::end);
    EXPECT_EQ(reader.next(), chunk_reader::step::end) << "asked again after the end";
    return cuts;
}

std::vector<std::uint64_t> ends_of(const std::vector<chunk_span>& cuts) {
    std::vector<std::uint64_t> ends;
    for (const auto& cut : cuts)
        ends.push_back(cut.offset + cut.length);
    return ends;
}

// Any change to the gear table, its seed, the masks or where hashing starts moves these, and
// with them every chunk already stored.
TEST(ContentChunker, GoldenCuts) {
    struct row {
        chunk_limits limits;
        std::size_t size;
        std::uint64_t seed;
        std::vector<std::uint64_t> ends;
    };
    const row rows[] = {
        {chunk_limits::around(4 * kib),
         64 * kib,
         1,
         {4120, 7499, 11931, 16345, 20988, 26801, 31463, 36218, 40330, 45855, 48051, 52957, 57195, 59234,
          63627, 65536}},
        {chunk_limits::around(256 * kib),
         4 * mib,
         2,
         {208638, 567804, 848951, 1200314, 1503842, 1782721, 1952777, 2454095, 2745824, 3114242, 3325693,
          3622669, 3902414, 4194304}},
        {chunk_limits::around(1 * mib),
         12 * mib,
         3,
         {1408421, 2468790, 3556733, 4641140, 5245245, 5944715, 7160083, 8594628, 8949313, 10081070, 11417020,
          12473617, 12582912}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE("average " + std::to_string(r.limits.average));
        const content_chunker chunker(r.limits);
        EXPECT_EQ(ends_of(one_shot_cuts(chunker, random_bytes(r.size, r.seed))), r.ends);
    }
}

// Every chunk within [min, max] but the last, which is not empty; the chunks tile the input;
// and the reader gives the same cuts and bytes as one-shot cutting, whether its source hands
// over one byte at a time, odd blocks, or more than its whole buffer at once.
TEST(ContentChunker, BoundsAndReaderAgreeWhateverTheBlocks) {
    const chunk_limits small{64, 256, 1024};
    const chunk_limits wide = chunk_limits::around(16 * kib);
    struct row {
        const char* what;
        chunk_limits limits;
        std::vector<std::uint8_t> bytes;
    };
    const row rows[] = {
        {"empty", small, {}},
        {"one byte", small, random_bytes(1, 4)},
        {"just below min", small, random_bytes(63, 5)},
        {"min", small, random_bytes(64, 6)},
        {"just above min", small, random_bytes(65, 7)},
        {"max", small, random_bytes(1024, 8)},
        {"just above max", small, random_bytes(1025, 9)},
        {"zeros, which never cut", small, std::vector<std::uint8_t>(10 * kib + 3, 0)},
        {"random, small limits", small, random_bytes(200 * kib + 17, 10)},
        {"random, wide limits", wide, random_bytes(3 * mib + 5, 11)},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const content_chunker chunker(r.limits);
        const std::vector<chunk_span> cuts = one_shot_cuts(chunker, r.bytes);
        std::uint64_t next = 0;
        for (std::size_t i = 0; i < cuts.size(); ++i) {
            SCOPED_TRACE("chunk " + std::to_string(i));
            EXPECT_EQ(cuts[i].offset, next);
            EXPECT_LE(cuts[i].length, r.limits.max);
            EXPECT_GT(cuts[i].length, 0U);
            if (i + 1 < cuts.size()) {
                EXPECT_GE(cuts[i].length, r.limits.min);
            }
            next += cuts[i].length;
        }
        EXPECT_EQ(next, r.bytes.size());
        EXPECT_EQ(cuts.empty(), r.bytes.empty());
        for (const std::size_t block :
             {std::size_t{1}, std::size_t{7}, std::size_t{4093}, std::size_t{65537}, 4 * r.limits.max + 1}) {
            if (block == 1 && r.bytes.size() > 256 * kib)
                continue; // a byte per call takes long and proves nothing more than below
            EXPECT_EQ(streamed_cuts(chunker, r.bytes, block), cuts) << "blocks of " << block;
        }
    }
}

// The first chunk's length is the same however many bytes past the cut are handed over, and
// short of `max` without the file's end it is not known yet.
TEST(ContentChunker, FirstChunkNeedsBytesOnlyUpToItsCut) {
    const content_chunker chunker(chunk_limits{64, 256, 1024});
    const std::vector<std::uint8_t> bytes = random_bytes(8 * kib, 12);
    const std::span<const std::uint8_t> all(bytes);
    const std::size_t cut = chunker.first_chunk(all, chunk_input::more_follows);
    ASSERT_GT(cut, 0U);
    for (std::size_t given = cut; given <= all.size(); given += 97)
        EXPECT_EQ(chunker.first_chunk(all.first(given), chunk_input::more_follows), cut) << given;
    EXPECT_EQ(chunker.first_chunk(all.first(cut - 1), chunk_input::more_follows), 0U);
    EXPECT_EQ(chunker.first_chunk(all.first(cut - 1), chunk_input::file_ends), cut - 1);
    EXPECT_EQ(chunker.first_chunk(all.first(0), chunk_input::more_follows), 0U);
    EXPECT_EQ(chunker.first_chunk(all.first(0), chunk_input::file_ends), 0U);
}

std::set<std::string_view> chunk_contents(const content_chunker& chunker,
                                          const std::vector<std::uint8_t>& bytes) {
    std::set<std::string_view> contents;
    for (const auto& cut : one_shot_cuts(chunker, bytes))
        contents.insert({reinterpret_cast<const char*>(bytes.data()) + cut.offset, cut.length});
    return contents;
}

std::size_t missing_from(const std::set<std::string_view>& these, const std::set<std::string_view>& those) {
    return static_cast<std::size_t>(
        std::ranges::count_if(these, [&](std::string_view chunk) { return !those.contains(chunk); }));
}

// An edit in the middle of a large file changes only the chunks around it: every other
// chunk, before and after, keeps its bytes and so is found again by digest.
TEST(ContentChunker, EditsChangeOnlyTheChunksAroundThem) {
    const std::vector<std::uint8_t> original = random_bytes(32 * mib, 13);
    // A small average gives 512 chunks, so more of them lie near the edit than with real sizes.
    const content_chunker chunker(chunk_limits::around(64 * kib));
    const std::set<std::string_view> before = chunk_contents(chunker, original);
    // Edits inside a chunk and at or just before a cut, where the hash's window sees them.
    const std::vector<std::uint64_t> ends = ends_of(one_shot_cuts(chunker, original));
    const std::size_t cut = *std::ranges::lower_bound(ends, original.size() / 2);
    struct row {
        const char* what;
        std::size_t at;
        std::size_t remove;
        std::vector<std::uint8_t> insert;
    };
    const row edits[] = {
        {"one byte inserted inside a chunk", cut + 12345, 0, {0x5A}},
        {"seven bytes inserted at a cut", cut, 0, {1, 2, 3, 4, 5, 6, 7}},
        {"one byte deleted just before a cut", cut - 1, 1, {}},
        {"five bytes deleted across a cut", cut - 2, 5, {}},
        {"three bytes replaced 40 bytes before a cut", cut - 40, 3, {9, 9, 9}},
    };
    for (const auto& edit : edits) {
        SCOPED_TRACE(edit.what);
        std::vector<std::uint8_t> edited = original;
        const auto at = edited.begin() + static_cast<std::ptrdiff_t>(edit.at);
        const auto after = edited.erase(at, at + static_cast<std::ptrdiff_t>(edit.remove));
        edited.insert(after, edit.insert.begin(), edit.insert.end());
        const std::set<std::string_view> now = chunk_contents(chunker, edited);
        EXPECT_LE(missing_from(now, before), 2U) << "new chunks";
        EXPECT_LE(missing_from(before, now), 2U) << "chunks lost";
        EXPECT_GE(missing_from(now, before), 1U) << "the edit is in some chunk";
    }
}

TEST(ContentChunker, ReaderStopsAtAFailedRead) {
    const content_chunker chunker(chunk_limits{64, 256, 1024});
    const std::vector<std::uint8_t> bytes = random_bytes(16 * kib, 14);
    memory_source source(bytes, 333, 5000);
    chunk_reader reader(chunker, source);
    std::uint64_t cut_up_to = 0;
    chunk_reader::step step{};
    while ((step = reader.next()) == chunk_reader::step::chunk)
        cut_up_to = reader.current().offset + reader.current().length;
    EXPECT_EQ(step, chunk_reader::step::read_failed);
    EXPECT_EQ(reader.next(), chunk_reader::step::read_failed) << "asked again";
    EXPECT_LE(cut_up_to, 5000U) << "no chunk reaches past the bytes read";
}

TEST(ContentChunker, InvalidLimitsAreRefused) {
    struct row {
        chunk_limits limits;
        const char* reason;
    };
    const row rows[] = {
        {{64, 300, 1024}, "power of two"},
        {{0, 0, 0}, "power of two"},
        {{64, 128, 1024}, "average outside"},
        {{kib, std::size_t{1} << 29, std::size_t{1} << 30}, "average outside"},
        {{63, 256, 1024}, "min below 64"},
        {{256, 256, 1024}, "min not below average"},
        {{64, 256, 256}, "max not above average"},
        {{64 * kib, 256 * mib, (std::size_t{1} << 30) + 1}, "max above 1 GiB"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.reason);
        try {
            const content_chunker chunker(r.limits);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(r.reason), std::string::npos) << error.what();
        }
    }
    for (std::size_t average = 256 * kib; average <= 4 * mib; average *= 2)
        EXPECT_NO_THROW(content_chunker{chunk_limits::around(average)}) << average;
}

} // namespace
} // namespace qz4
