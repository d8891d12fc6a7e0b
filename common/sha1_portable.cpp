// The plain C++ SHA-1 compression function, used where the processor has no SHA extensions.
#include "common/sha1_transform.hpp"

namespace qz4::detail {

namespace {

constexpr std::uint32_t rotl(std::uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

std::uint32_t load_be32(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

void transform_one(std::uint32_t state[5], const std::uint8_t* block) {
    // The schedule is a 16-word ring, a working copy of the block that is wiped afterwards.
    std::uint32_t w[16];
    for (int i = 0; i < 16; ++i)
        w[i] = load_be32(block + 4 * i);

    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int t = 0; t < 80; ++t) {
        if (t >= 16)
            w[t & 15] = rotl(w[(t + 13) & 15] ^ w[(t + 8) & 15] ^ w[(t + 2) & 15] ^ w[t & 15], 1);
        std::uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const std::uint32_t temp = rotl(a, 5) + f + e + k + w[t & 15];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = temp;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;

    volatile std::uint32_t* wipe = w;
    for (int i = 0; i < 16; ++i)
        wipe[i] = 0;
}

} // namespace

void sha1_blocks_portable(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks) {
    for (std::size_t i = 0; i < blocks; ++i)
        transform_one(state, data + 64 * i);
}

} // namespace qz4::detail
