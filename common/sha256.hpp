// SHA-256 (FIPS 180-4) through the system's own implementation, which uses the processor's
// SHA extensions where it has them: OpenSSL's libcrypto on POSIX systems, CNG on Windows.
// Digest texts follow SHA-1's: 64 lower-case hex digits, or the empty text for no bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace qz4 {

using sha256_digest = std::array<std::uint8_t, 32>;

class sha256_context {
public:
    // Throws std::runtime_error when the system offers no SHA-256 (a broken installation).
    sha256_context();
    ~sha256_context();
    sha256_context(const sha256_context&) = delete;
    sha256_context& operator=(const sha256_context&) = delete;

    void update(const void* data, std::size_t count);
    // Writes the digest of everything taken and starts over, ready for the next message.
    void finish(sha256_digest& digest);
    // Drops what was taken.
    void reset();

private:
    struct state; // the system's hash object
    std::unique_ptr<state> state_;
};

[[nodiscard]] std::string digest_text(const sha256_digest& digest);

// Digest text of bytes in memory, as a file holding them gets it (no bytes: the empty text).
[[nodiscard]] std::string sha256_text(std::string_view bytes);

} // namespace qz4
