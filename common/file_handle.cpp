#include "common/file_handle.hpp"

#include "common/file_system.hpp"

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
