// Content-defined chunking (FastCDC with normalized chunking): cuts a large file where its
// content says so, so that an edit moves only the cuts next to it and every other chunk of
// the file keeps its bytes, and with them its digest.
//
// The cut points are part of the stored data format, forever: chunks are stored once by
// digest and a launcher finds the ones it already holds by cutting its installed file the
// same way. The gear table, its seed, the masks, where hashing starts and which mask applies
// where must never change for limits already in use; a different cut needs new limits or a
// new format, never an edit here. The golden cuts in the tests hold them in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qz4 {

// Chunk sizes in bytes: every chunk but a file's last is at least `min` and at most `max`;
// `average` (a power of two) is where the stricter cut condition gives way to the looser one,
// which keeps chunk sizes near it.
struct chunk_limits {
    std::size_t min = 0;
    std::size_t average = 0;
    std::size_t max = 0;

    // min = average / 4 and max = average * 4.
    [[nodiscard]] static chunk_limits around(std::size_t average);
    friend bool operator==(const chunk_limits&, const chunk_limits&) = default;
};

// The bounds a chunk_limits must keep: 64 <= min < average < max <= 1 GiB, average a power of
// two from 256 B to 256 MiB. The 64 bytes are the hash's window, so that a cut depends on the
// content before it and not on where its chunk began.
inline constexpr std::size_t chunk_min_floor = 64;
inline constexpr std::size_t chunk_average_least = std::size_t{1} << 8;
inline constexpr std::size_t chunk_average_most = std::size_t{1} << 28;
inline constexpr std::size_t chunk_max_most = std::size_t{1} << 30;

// Whether the bytes handed over are all that is left of the file.
enum class chunk_input { more_follows, file_ends };

// Holds validated limits and the masks they give; immutable, so one chunker serves any
// number of threads at once.
class content_chunker {
public:
    // Throws std::invalid_argument, naming the broken bound, for limits outside the bounds.
    explicit content_chunker(const chunk_limits& limits);

    [[nodiscard]] const chunk_limits& limits() const { return limits_; }

    // The length of the first chunk of `bytes`, which start where a chunk starts. 0 when
    // the answer needs more bytes: no cut among fewer than `max` bytes and the file goes on.
    // At the file's end the rest is a chunk of any length (0 for no bytes). The answer
    // depends only on the bytes up to the cut, so giving more bytes never moves it.
    [[nodiscard]] std::size_t first_chunk(std::span<const std::uint8_t> bytes, chunk_input input) const;

private:
    chunk_limits limits_;
    std::uint64_t strict_mask_ = 0; // before `average`: cuts are rarer than 1 in average
    std::uint64_t loose_mask_ = 0;  // from `average` on: cuts are likelier
};

// Where chunk bytes come from. read() fills the start of `into` with the next bytes and
// returns their count: 0 only at the end, nullopt when reading failed.
class chunk_source {
public:
    [[nodiscard]] virtual std::optional<std::size_t> read(std::span<std::uint8_t> into) = 0;

protected:
    chunk_source() = default;
    ~chunk_source() = default;
    chunk_source(const chunk_source&) = default;
    chunk_source& operator=(const chunk_source&) = default;
};

struct chunk_span {
    std::uint64_t offset = 0;
    std::size_t length = 0;
    friend bool operator==(const chunk_span&, const chunk_span&) = default;
};

// Cuts what a source gives into chunks, one after another, through one buffer of 2 × max
// bytes taken at construction: a file of any size costs that much memory and nothing per
// chunk. The source is read in as many calls as it likes; the cuts are those first_chunk
// gives for the whole file at once.
class chunk_reader {
public:
    chunk_reader(const content_chunker& chunker, chunk_source& source);

    enum class step { chunk, end, read_failed };
    // Moves to the next chunk. After `end` or `read_failed` it answers the same again.
    [[nodiscard]] step next();

    // The chunk next() last moved to, and its bytes, valid until next() is called again.
    [[nodiscard]] chunk_span current() const { return current_; }
    [[nodiscard]] std::span<const std::uint8_t> current_bytes() const;

private:
    // Moves the bytes not yet cut to the front and reads until the buffer is full or the
    // source ends; false when a read failed.
    [[nodiscard]] bool refill();

    const content_chunker& chunker_;
    chunk_source& source_;
    std::vector<std::uint8_t> buffer_; // 2 × max bytes; [start_, filled_) not yet cut
    std::size_t start_ = 0;
    std::size_t filled_ = 0;
    bool source_ended_ = false;
    std::optional<step> finished_;  // set once the reader has nothing more to give
    std::uint64_t next_offset_ = 0; // in the file, of the byte at start_
    chunk_span current_;
    std::size_t current_start_ = 0; // in buffer_
};

} // namespace qz4
