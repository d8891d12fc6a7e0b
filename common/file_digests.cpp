#include "common/file_digests.hpp"

#include "common/file_handle.hpp"

#include <algorithm>

namespace qz4 {

namespace {

// Each hash takes this much before the other gets the same bytes: small enough to stay in
// the first-level caches, large enough to keep the calls few.
constexpr std::size_t shared_piece = 32 * 1024;

} // namespace

digest_context::digest_context(digest_kinds kinds) : kinds_(kinds) {
    if (kinds_ == digest_kinds::sha1_and_sha256)
        sha256_.emplace();
}

void digest_context::update(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t done = 0; done < size;) {
        const std::size_t step = std::min(size - done, shared_piece);
        sha1_.update(bytes + done, static_cast<std::uint32_t>(step));
        if (kinds_ == digest_kinds::sha1_and_sha256)
            sha256_->update(bytes + done, step);
        done += step;
    }
    taken_ += size;
}

digest_texts digest_context::finish() {
    digest_texts texts;
    if (taken_ != 0) {
        sha1_digest sha1{};
        sha1_.final(sha1);
        texts.sha1 = digest_text(sha1);
        if (kinds_ == digest_kinds::sha1_and_sha256) {
            sha256_digest sha256{};
            sha256_->finish(sha256);
            texts.sha256 = digest_text(sha256);
        }
    }
    sha1_.reset();
    taken_ = 0;
    return texts;
}

void digest_context::reset() {
    sha1_.reset();
    if (sha256_ && taken_ != 0)
        sha256_->reset();
    taken_ = 0;
}

void digest_context::reset(digest_kinds kinds) {
    reset();
    // A SHA-256 half once made is kept for later messages that ask for it again.
    if (kinds == digest_kinds::sha1_and_sha256 && !sha256_)
        sha256_.emplace();
    kinds_ = kinds;
}

namespace {

digest_texts finish_read(const std::optional<std::uint64_t>& read, digest_context& context) {
    if (!read || *read == 0) {
        context.reset();
        return {};
    }
    return context.finish();
}

file_piece_taker feeding(digest_context& context) {
    return [&context](const std::uint8_t* data, std::size_t size) { context.update(data, size); };
}

} // namespace

digest_texts file_digests(const std::wstring& path, byte_buffer& buffer, digest_context& context) {
    return finish_read(read_file_pieces(path, buffer, feeding(context)), context);
}

digest_texts file_digests(file_handle& file, byte_buffer& buffer, digest_context& context) {
    return finish_read(read_file_pieces(file, buffer, feeding(context)), context);
}

} // namespace qz4
