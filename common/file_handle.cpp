#include "common/file_handle.hpp"

#include "common/file_system.hpp"

#include <algorithm>
#include <vector>

namespace qz4 {

file_handle::file_handle(file_handle&& other) noexcept
    : native_(other.native_), open_error_(other.open_error_) {
    other.native_ = invalid_native;
}

file_handle& file_handle::operator=(file_handle&& other) noexcept {
    if (this != &other) {
        close();
        native_ = other.native_;
        open_error_ = other.open_error_;
        other.native_ = invalid_native;
    }
    return *this;
}

file_handle file_handle::adopt(std::intptr_t native) {
    file_handle file;
    file.native_ = native;
    return file;
}

file_handle file_handle::failed(std::uint32_t error) {
    file_handle file;
    file.open_error_ = error;
    return file;
}

std::optional<std::size_t> read_fully(file_handle& file, void* buffer, std::size_t size) {
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const auto got = file.read_some(bytes + done, size - done);
        if (!got)
            return std::nullopt;
        if (*got == 0)
            break;
        done += *got;
    }
    return done;
}

std::optional<std::uint64_t> read_file_pieces(const std::wstring& path, byte_buffer& buffer,
                                              const file_piece_taker& take) {
    file_handle file = file_handle::open_read(path);
    if (!file.is_open())
        return std::nullopt;
    return read_file_pieces(file, buffer, take);
}

std::optional<std::uint64_t> read_file_pieces(file_handle& file, byte_buffer& buffer, const file_piece_taker& take) {
    constexpr std::size_t piece_size = std::size_t{1} << 20;
    const auto size = file.size();
    if (!size)
        return std::nullopt;
    buffer.ensure_capacity(static_cast<std::size_t>(std::min<std::uint64_t>(*size, piece_size)));
    const std::size_t piece = std::min(buffer.storage.size(), piece_size);
    for (std::uint64_t remaining = *size; remaining != 0;) {
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, piece));
        const auto got = read_fully(file, buffer.data(), wanted);
        if (!got || *got != wanted)
            return std::nullopt; // unreadable, or shrunk while reading
        take(buffer.data(), wanted);
        remaining -= wanted;
    }
    buffer.length = 0;
    buffer.position = 0;
    return size;
}

bool write_fully(file_handle& file, const void* buffer, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const auto wrote = file.write_some(bytes + done, size - done);
        if (!wrote || *wrote == 0)
            return false;
        done += *wrote;
    }
    return true;
}

bool copy_to_file(file_handle& source, const std::wstring& target) {
    file_handle copy = file_handle::create_write(target);
    if (!copy.is_open())
        return false;
    std::vector<std::uint8_t> chunk(std::size_t{1} << 20);
    bool ok = true;
    for (;;) {
        const auto got = source.read_some(chunk.data(), chunk.size());
        if (!got || (*got != 0 && !write_fully(copy, chunk.data(), *got))) {
            ok = false;
            break;
        }
        if (*got == 0)
            break;
    }
    copy.close();
    if (!ok)
        delete_file_now(target); // never half a copy
    return ok;
}

} // namespace qz4
