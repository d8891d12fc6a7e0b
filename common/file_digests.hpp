// The digests the manifests carry for a file, SHA-1 and, where they are asked for, SHA-256,
// taken in one pass over its bytes: each piece read or received feeds both hashes while it
// is still in the processor's cache.
#pragma once

#include "common/byte_buffer.hpp"
#include "common/sha1.hpp"
#include "common/sha256.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace qz4 {

class file_handle;

enum class digest_kinds { sha1, sha1_and_sha256 };

struct digest_texts {
    std::string sha1;
    std::string sha256; // empty also when SHA-256 was not asked for

    bool operator==(const digest_texts&) const = default;
};

class digest_context {
public:
    // The SHA-256 half is made only when asked for; it throws as sha256_context does.
    explicit digest_context(digest_kinds kinds = digest_kinds::sha1);

    [[nodiscard]] digest_kinds kinds() const { return kinds_; }
    void update(const void* data, std::size_t size);
    // The texts of everything taken since the last start, the empty texts for nothing (as a
    // file's, which has no digest when empty); then starts over.
    [[nodiscard]] digest_texts finish();
    // Drops what was taken; with `kinds`, the next message is hashed with those.
    void reset();
    void reset(digest_kinds kinds);

private:
    digest_kinds kinds_;
    sha1_context sha1_;
    std::optional<sha256_context> sha256_; // made at the first message that asks for it
    std::uint64_t taken_ = 0;
};

// The digests of the file's whole content, read through the caller's buffer and context,
// which are ready for the next file afterwards. As file_sha1: the empty texts for a file that
// is missing, cannot be read to its end, or is empty.
[[nodiscard]] digest_texts file_digests(const std::wstring& path, byte_buffer& buffer,
                                        digest_context& context);
// The same for a file the caller holds open, read from where it stands.
[[nodiscard]] digest_texts file_digests(file_handle& file, byte_buffer& buffer, digest_context& context);

} // namespace qz4
