// The sinks a file the engine writes passes through: one that caps how much a server or a
// packed file may produce, and one that hashes what passes so that the file need not be read
// back for its digest.
#pragma once

#include "common/byte_buffer.hpp"
#include "common/byte_sink.hpp"
#include "common/sha1.hpp"

#include <cstdint>
#include <string>

namespace qz4 {

// Passes bytes on until the limit would be passed, then refuses them and remembers why.
class capped_sink final : public byte_sink {
public:
    capped_sink(byte_sink& target, std::uint64_t limit) : target_(target), limit_(limit) {}
    bool write(const void* data, std::size_t size) override;
    [[nodiscard]] bool overflowed() const { return overflow_; }

private:
    byte_sink& target_;
    std::uint64_t limit_;
    std::uint64_t written_ = 0;
    bool overflow_ = false;
};

// Takes the first `length` bytes of the file at `path` into `context`: the start of a file
// whose transfer goes on. False when they cannot all be read.
[[nodiscard]] bool hash_file_start(const std::wstring& path, std::uint64_t length, byte_buffer& buffer,
                                   sha1_context& context);

class hashing_sink final : public byte_sink {
public:
    explicit hashing_sink(byte_sink& target) : target_(target) {}
    // Goes on from `start`, the state after the `hashed` bytes that came before.
    hashing_sink(byte_sink& target, const sha1_context& start, std::uint64_t hashed)
        : target_(target), context_(start), hashed_(hashed) {}
    bool write(const void* data, std::size_t size) override;
    // The digest text of everything taken; the empty text for nothing, as file_sha1 gives it.
    [[nodiscard]] std::string text();

private:
    byte_sink& target_;
    sha1_context context_;
    std::uint64_t hashed_ = 0;
};

} // namespace qz4
