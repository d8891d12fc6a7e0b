#include "common/file_handle.hpp"

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

} // namespace qz4
