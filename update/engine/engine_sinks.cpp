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

bool hash_file_start(const std::wstring& path, std::uint64_t length, byte_buffer& buffer,
                     digest_context& digests) {
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
        digests.update(buffer.data(), wanted);
        length -= wanted;
    }
    return true;
}

bool hashing_sink::write(const void* data, std::size_t size) {
    if (!target_.write(data, size))
        return false;
    digests_.update(data, size);
    return true;
}

} // namespace qz4
