// SHA-1 blocks through the x86 SHA extensions (SHA-NI), chosen at run time when the
// processor reports them. Four rounds per instruction; the schedule stays in registers.
#include "common/sha1_transform.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>
#include <immintrin.h>
#include <utility>

namespace qz4::detail {

namespace {

#define QZ4_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

struct sha_registers {
    __m128i abcd;
    __m128i e[2];
    __m128i msg[4];
};

// One group of four rounds. Group G uses schedule word W[G] (held in msg[G % 4]) and, in the
// same step, advances the schedule for the groups to come.
template <int G> QZ4_SHA_TARGET inline __attribute__((always_inline)) void rounds(sha_registers& r) {
    constexpr int current = G % 2;
    constexpr int next = 1 - current;
    if constexpr (G == 0)
        r.e[0] = _mm_add_epi32(r.e[0], r.msg[0]);
    else
        r.e[current] = _mm_sha1nexte_epu32(r.e[current], r.msg[G % 4]);
    r.e[next] = r.abcd;
    if constexpr (G >= 3 && G <= 18)
        r.msg[(G + 1) % 4] = _mm_sha1msg2_epu32(r.msg[(G + 1) % 4], r.msg[G % 4]);
    r.abcd = _mm_sha1rnds4_epu32(r.abcd, r.e[current], G / 5);
    if constexpr (G >= 1 && G <= 16)
        r.msg[(G - 1) % 4] = _mm_sha1msg1_epu32(r.msg[(G - 1) % 4], r.msg[G % 4]);
    if constexpr (G >= 2 && G <= 17)
        r.msg[(G - 2) % 4] = _mm_xor_si128(r.msg[(G - 2) % 4], r.msg[G % 4]);
}

template <int... G>
QZ4_SHA_TARGET inline __attribute__((always_inline)) void all_rounds(sha_registers& r,
                                                                     std::integer_sequence<int, G...>) {
    (rounds<G>(r), ...);
}

QZ4_SHA_TARGET void blocks_sha_ni(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks) {
    const __m128i byte_swap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    sha_registers r;
    r.abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
    __m128i e_start = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);

    for (std::size_t b = 0; b < blocks; ++b, data += 64) {
        const __m128i abcd_saved = r.abcd;
        r.e[0] = e_start;
        for (int i = 0; i < 4; ++i)
            r.msg[i] =
                _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byte_swap);
        all_rounds(r, std::make_integer_sequence<int, 20>{});
        // Group 19 left the pre-round ABCD in e[0]; it becomes the next block's E.
        e_start = _mm_sha1nexte_epu32(r.e[0], e_start);
        r.abcd = _mm_add_epi32(r.abcd, abcd_saved);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(r.abcd, 0x1B));
    state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e_start, 3));
}

bool processor_has_sha_extensions() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return false;
    const bool ssse3 = (c & bit_SSSE3) != 0;
    const bool sse41 = (c & bit_SSE4_1) != 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d))
        return false;
    const bool sha = (b & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

} // namespace

sha1_blocks_fn sha1_blocks_x86_if_supported() {
    static const bool supported = processor_has_sha_extensions();
    return supported ? &blocks_sha_ni : nullptr;
}

} // namespace qz4::detail

#else

namespace qz4::detail {
sha1_blocks_fn sha1_blocks_x86_if_supported() {
    return nullptr;
}
} // namespace qz4::detail

#endif
