#include "common/sha1.hpp"

#include "common/file_handle.hpp"
#include "common/format.hpp"
#include "common/sha1_transform.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace qz4 {

namespace {

constexpr std::uint32_t initial_state[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};

detail::sha1_blocks_fn best_available() {
    if (auto fast = detail::sha1_blocks_x86_if_supported())
        return fast;
    return &detail::sha1_blocks_portable;
}

std::atomic<detail::sha1_blocks_fn>& active_blocks() {
    static std::atomic<detail::sha1_blocks_fn> active{best_available()};
    return active;
}

void run_blocks(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks) {
    active_blocks().load(std::memory_order_relaxed)(state, data, blocks);
}

} // namespace

sha1_context::~sha1_context() {
    // Wiped through a volatile view so that the stores are not optimised away.
    volatile std::uint32_t* words = state;
    for (int i = 0; i < 5; ++i)
        words[i] = 0;
    volatile std::uint32_t* counts = &bit_count_low;
    counts[0] = 0;
    bit_count_high = 0;
}

void sha1_context::reset() {
    std::copy(std::begin(initial_state), std::end(initial_state), state);
    bit_count_low = 0;
    bit_count_high = 0;
}

void sha1_context::update(const void* data, std::uint32_t count) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint32_t offset = (bit_count_low / 8) % 64;
    const std::uint32_t added_bits = count << 3;
    bit_count_low += added_bits;
    if (bit_count_low < added_bits)
        ++bit_count_high;
    bit_count_high += count >> 29;

    if (std::uint64_t{offset} + count < 64) {
        if (count != 0)
            std::memcpy(block + offset, bytes, count);
        return;
    }
    std::uint32_t used = 64 - offset;
    std::memcpy(block + offset, bytes, used);
    run_blocks(state, block, 1);
    const std::uint32_t whole_blocks = (count - used) / 64;
    if (whole_blocks != 0) {
        run_blocks(state, bytes + used, whole_blocks);
        used += whole_blocks * 64;
    }
    if (count > used)
        std::memcpy(block, bytes + used, count - used);
}

void sha1_context::final(sha1_digest& digest) {
    std::uint8_t length[8];
    for (int i = 0; i < 4; ++i) {
        length[i] = static_cast<std::uint8_t>(bit_count_high >> ((3 - i) * 8));
        length[4 + i] = static_cast<std::uint8_t>(bit_count_low >> ((3 - i) * 8));
    }
    const std::uint8_t marker = 0x80;
    update(&marker, 1);
    const std::uint8_t zero = 0;
    while ((bit_count_low & 504) != 448)
        update(&zero, 1);
    update(length, 8);
    for (std::size_t i = 0; i < digest.size(); ++i)
        digest[i] = static_cast<std::uint8_t>(state[i / 4] >> ((3 - (i % 4)) * 8));
}

std::string digest_text(const sha1_digest& digest) {
    return lower_hex_text(digest);
}

std::string file_sha1(const std::wstring& path, byte_buffer& buffer, sha1_context& context) {
    const auto read = read_file_pieces(path, buffer, [&context](const std::uint8_t* data, std::size_t size) {
        context.update(data, static_cast<std::uint32_t>(size));
    });
    if (!read || *read == 0) {
        // No digest, and the context starts over.
        context.reset();
        return {};
    }
    sha1_digest digest{};
    context.final(digest);
    context.reset();
    return digest_text(digest);
}

bool sha1_transform_available(sha1_transform_kind kind) {
    return kind == sha1_transform_kind::portable || detail::sha1_blocks_x86_if_supported() != nullptr;
}

sha1_transform_kind sha1_active_transform() {
    return active_blocks().load() == &detail::sha1_blocks_portable ? sha1_transform_kind::portable
                                                                   : sha1_transform_kind::x86_sha_extensions;
}

bool sha1_select_transform(sha1_transform_kind kind) {
    if (kind == sha1_transform_kind::portable) {
        active_blocks().store(&detail::sha1_blocks_portable);
        return true;
    }
    const auto fast = detail::sha1_blocks_x86_if_supported();
    if (!fast)
        return false;
    active_blocks().store(fast);
    return true;
}

std::string sha1_text(std::string_view bytes) {
    if (bytes.empty())
        return {};
    sha1_context context;
    // update() counts in 32 bits.
    constexpr std::size_t chunk = std::size_t{1} << 30;
    for (std::size_t at = 0; at < bytes.size(); at += chunk)
        context.update(bytes.data() + at, static_cast<std::uint32_t>(std::min(chunk, bytes.size() - at)));
    sha1_digest digest{};
    context.final(digest);
    return digest_text(digest);
}

} // namespace qz4
