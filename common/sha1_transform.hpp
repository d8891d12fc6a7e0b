// Block transforms behind sha1_context: each hashes whole 64-byte blocks into the state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qz4::detail {

using sha1_blocks_fn = void (*)(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks);

void sha1_blocks_portable(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks);

// Null when this build or this processor lacks the x86 SHA extensions.
[[nodiscard]] sha1_blocks_fn sha1_blocks_x86_if_supported();

} // namespace qz4::detail
