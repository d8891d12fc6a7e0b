#include "common/content_chunker.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <stdexcept>
#include <string>

namespace qz4 {
namespace {

// splitmix64, the generator of the gear table: one random 64-bit value per byte value, the
// same on every compiler, so the table is spelt by its seed alone.
constexpr std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

constexpr std::uint64_t gear_seed = 0x71A4C0DE2026CD01ULL;

constexpr std::array<std::uint64_t, 256> make_gear_table() {
    std::array<std::uint64_t, 256> table{};
    std::uint64_t state = gear_seed;
    for (auto& entry : table)
        entry = splitmix64(state);
    return table;
}

constexpr std::array<std::uint64_t, 256> gear = make_gear_table();

// The top `bits` bits of the hash. The gear hash shifts left once per byte, so its top bits
// mix the last 64 bytes, the widest window it has; its low bits would see only a few bytes.
constexpr std::uint64_t top_bits(unsigned bits) {
    return ~std::uint64_t{0} << (64 - bits);
}

void require(bool holds, const char* bound) {
    if (!holds)
        throw std::invalid_argument(std::string("chunk limits: ") + bound);
}

} // namespace

chunk_limits chunk_limits::around(std::size_t average) {
    return {average / 4, average, average * 4};
}

content_chunker::content_chunker(const chunk_limits& limits) : limits_(limits) {
    require(std::has_single_bit(limits.average), "average is not a power of two");
    require(limits.average >= chunk_average_least && limits.average <= chunk_average_most,
            "average outside 256 B to 256 MiB");
    require(limits.min >= chunk_min_floor, "min below 64 bytes");
    require(limits.min < limits.average, "min not below average");
    require(limits.max > limits.average, "max not above average");
    require(limits.max <= chunk_max_most, "max above 1 GiB");
    // Normalized chunking at level 2: two bits more than the average's before it, two fewer
    // after it, so that few chunks end far from the average on either side.
    const auto average_bits = static_cast<unsigned>(std::countr_zero(limits.average));
    strict_mask_ = top_bits(average_bits + 2);
    loose_mask_ = top_bits(average_bits - 2);
}

std::size_t content_chunker::first_chunk(std::span<const std::uint8_t> bytes, chunk_input input) const {
    const bool at_end = input == chunk_input::file_ends;
    const std::size_t available = bytes.size();
    if (available <= limits_.min)
        return at_end ? available : 0;
    const std::size_t limit = std::min(available, limits_.max);
    const std::size_t normal = std::min(limits_.average, limit);
    // Bytes before `min` never end a chunk, so hashing starts there: each chunk's search
    // begins afresh, and past the window's 64 bytes the hash no longer remembers where.
    std::uint64_t hash = 0;
    std::size_t at = limits_.min;
    for (; at < normal; ++at) {
        hash = (hash << 1) + gear[bytes[at]];
        if ((hash & strict_mask_) == 0)
            return at + 1;
    }
    for (; at < limit; ++at) {
        hash = (hash << 1) + gear[bytes[at]];
        if ((hash & loose_mask_) == 0)
            return at + 1;
    }
    if (limit == limits_.max)
        return limit;
    return at_end ? available : 0;
}

chunk_reader::chunk_reader(const content_chunker& chunker, chunk_source& source)
    : chunker_(chunker), source_(source), buffer_(2 * chunker.limits().max) {}

std::span<const std::uint8_t> chunk_reader::current_bytes() const {
    return {buffer_.data() + current_start_, current_.length};
}

bool chunk_reader::refill() {
    // What is left is less than `max` (else it would hold a cut) and usually part of one chunk,
    // so moving it to the front costs a fraction of the bytes the fill then brings.
    std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(start_),
              buffer_.begin() + static_cast<std::ptrdiff_t>(filled_), buffer_.begin());
    filled_ -= start_;
    start_ = 0;
    // Filled up to the end, so that a chunk is scanned twice (once short of its cut) only once
    // per buffer, not once per read of a source that gives few bytes at a time.
    while (filled_ < buffer_.size()) {
        const std::span<std::uint8_t> room(buffer_.data() + filled_, buffer_.size() - filled_);
        const std::optional<std::size_t> got = source_.read(room);
        if (!got || *got > room.size())
            return false;
        if (*got == 0) {
            source_ended_ = true;
            return true;
        }
        filled_ += *got;
    }
    return true;
}

chunk_reader::step chunk_reader::next() {
    if (finished_)
        return *finished_;
    while (true) {
        const std::span<const std::uint8_t> waiting(buffer_.data() + start_, filled_ - start_);
        const std::size_t length =
            chunker_.first_chunk(waiting, source_ended_ ? chunk_input::file_ends : chunk_input::more_follows);
        if (length != 0) {
            current_ = {next_offset_, length};
            current_start_ = start_;
            start_ += length;
            next_offset_ += length;
            return step::chunk;
        }
        if (source_ended_) {
            finished_ = step::end; // at the end no length means no bytes left
            return *finished_;
        }
        if (!refill()) {
            finished_ = step::read_failed;
            return *finished_;
        }
    }
}

} // namespace qz4
