// The sinks a file the engine writes passes through: one that caps how much a server or a
// packed file may produce, and one that hashes what passes so that the file need not be read
// back for its digest.
#pragma once

#include "common/byte_buffer.hpp"
#include "common/byte_sink.hpp"
#include "common/file_digests.hpp"

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

// Takes the first `length` bytes of the file at `path` into `digests`: the start of a file
// whose transfer goes on. False when they cannot all be read.
[[nodiscard]] bool hash_file_start(const std::wstring& path, std::uint64_t length, byte_buffer& buffer,
                                   digest_context& digests);

// Passes bytes on and feeds what the target took to `digests` (after whatever they were fed
// before, such as the start of a continued file); the owner finishes them.
class hashing_sink final : public byte_sink {
public:
    hashing_sink(byte_sink& target, digest_context& digests) : target_(target), digests_(digests) {}
    bool write(const void* data, std::size_t size) override;

private:
    byte_sink& target_;
    digest_context& digests_;
};

} // namespace qz4
