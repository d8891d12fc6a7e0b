// The unpack stage of a pass: its workers turn each verified download into the installed
// file (packed files unpacked beside their destination and checked again), rename it into
// place and record it in the file cache.
#pragma once

#include "common/lzma2_codec.hpp"
#include "update/engine/pass_state.hpp"

#include <algorithm>
#include <cstdint>

namespace qz4 {

// Decoding is bound by the processor, so a worker per core, up to this many.
inline constexpr std::uint32_t max_unpack_workers = 8;
// What the decoders of all workers may hold at once: our files' 16 MiB dictionaries let every
// worker decode, while headers that ask for the decoder's limit decode two at a time.
inline constexpr std::uint64_t unpack_decoder_budget = 2 * lzma2_default_memory_limit;

// One worker when the player asks for one connection, so that files are placed one after
// another in the order they arrive; otherwise one per core (`cores` 0: unknown, one).
[[nodiscard]] constexpr std::uint32_t plan_unpack_workers(std::uint32_t connections, std::uint32_t cores) {
    if (connections <= 1)
        return 1;
    return std::clamp<std::uint32_t>(cores, 1, max_unpack_workers);
}

// The workers a pass runs on this machine.
[[nodiscard]] std::uint32_t unpack_workers(std::uint32_t connections);

// The body of the stage's thread: runs the workers, one of them on this thread, and ends by
// itself once all have ended (always in phase unpacks_finished).
void unpack_worker(pass_context& context) noexcept;

} // namespace qz4
