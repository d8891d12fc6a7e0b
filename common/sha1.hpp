// SHA-1 (FIPS 180-4) and the digest text that manifests carry: 40 lower-case hex digits,
// or the empty text for a file that is missing, unreadable or empty.
#pragma once

#include "common/byte_buffer.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace qz4 {


using sha1_digest = std::array<std::uint8_t, 20>;

struct sha1_context {
    std::uint8_t block[64];
    std::uint32_t bit_count_low;
    std::uint32_t bit_count_high;
    std::uint32_t state[5];

    sha1_context() { reset(); }
    ~sha1_context();
    sha1_context(const sha1_context&) = default;
    sha1_context& operator=(const sha1_context&) = default;

    // Back to the initial hash value with empty counts (the block bytes are not cleared).
    void reset();
    void update(const void* data, std::uint32_t count);
    // Writes the digest; does not reset the context.
    void final(sha1_digest& digest);
};

[[nodiscard]] std::string digest_text(const sha1_digest& digest);

// Digest text of bytes in memory, as file_sha1 gives it for a file holding them (no bytes,
// no digest: the empty text).
[[nodiscard]] std::string sha1_text(std::string_view bytes);

// Digest text of the file's whole content, read in bounded chunks through the caller's
// buffer. The context must be in its initial state and is returned to it.
[[nodiscard]] std::string file_sha1(const std::wstring& path, byte_buffer& buffer, sha1_context& context);

// Which block transform update() uses. The x86 SHA extensions are chosen automatically when
// the processor has them; tests force each in turn to compare them.
enum class sha1_transform_kind { portable, x86_sha_extensions };
[[nodiscard]] bool sha1_transform_available(sha1_transform_kind kind);
[[nodiscard]] sha1_transform_kind sha1_active_transform();
// Returns false (and changes nothing) when the kind is not available on this processor.
bool sha1_select_transform(sha1_transform_kind kind);

} // namespace qz4
