#include "update/engine/engine_sinks.hpp"

#include "common/file_handle.hpp"

#include <algorithm>

namespace qz4 {

bool capped_sink::write(const void* data, std::size_t size) {
    if (size > limit_ - written_) {
        overflow_ = true;
        return false;
    }
    written_ += size;
    return target_.write(data, size);
}

namespace {

void hash(sha1_context& context, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t done = 0; done < size;) {
        const std::size_t step = std::min<std::size_t>(size - done, 1U << 30);
        context.update(bytes + done, static_cast<std::uint32_t>(step));
        done += step;
    }
}

} // namespace

bool hash_file_start(const std::wstring& path, std::uint64_t length, byte_buffer& buffer,
                     sha1_context& context) {
    file_handle file = file_handle::open_read(path);
    if (!file.is_open())
        return false;
    buffer.ensure_capacity(std::size_t{1} << 20);
    while (length > 0) {
        const std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer.storage.size()));
        const auto got = read_fully(file, buffer.data(), wanted);
        if (!got || *got != wanted)
            return false;
        hash(context, buffer.data(), wanted);
        length -= wanted;
    }
    return true;
}

bool hashing_sink::write(const void* data, std::size_t size) {
    if (!target_.write(data, size))
        return false;
    hash(context_, data, size);
    hashed_ += size;
    return true;
}

std::string hashing_sink::text() {
    if (hashed_ == 0)
        return {};
    sha1_digest digest;
    context_.final(digest);
    return digest_text(digest);
}

} // namespace qz4
