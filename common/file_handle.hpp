// An owned operating-system file handle with the two opening modes the program needs.
// The handle is closed by the destructor on every path.
#pragma once

#include "common/byte_buffer.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace qz4 {

class file_handle {
public:
    file_handle() = default;
    ~file_handle() { close(); }
    file_handle(file_handle&& other) noexcept;
    file_handle& operator=(file_handle&& other) noexcept;
    file_handle(const file_handle&) = delete;
    file_handle& operator=(const file_handle&) = delete;

    // Existing files only, for reading; other openers may read but not write.
    [[nodiscard]] static file_handle open_read(const std::wstring& path);
    // The same for a regular file only, and never through a link: the path's last component
    // must be the file itself, not a link, junction or other reparse point, and what was
    // opened must be a regular file (checked on the handle, so a name swapped for a link,
    // device or pipe after it was listed is not read; a pipe is not waited on either).
    // Directories above it are taken as they are.
    [[nodiscard]] static file_handle open_read_regular(const std::wstring& path);
    // Created or truncated, for writing; other openers may read.
    [[nodiscard]] static file_handle create_write(const std::wstring& path);
    // An existing file of at least `length` bytes, for writing on after its first `length`
    // bytes: anything beyond them is cut off. Other openers may read.
    [[nodiscard]] static file_handle continue_write(const std::wstring& path, std::uint64_t length);

    // Takes over a descriptor (POSIX) or HANDLE (Windows) opened elsewhere in the layer.
    [[nodiscard]] static file_handle adopt(std::intptr_t native);
    // A handle that is not open, for an open that failed with `error`.
    [[nodiscard]] static file_handle failed(std::uint32_t error);

    [[nodiscard]] bool is_open() const { return native_ != invalid_native; }
    // The descriptor or HANDLE, still owned by this object.
    [[nodiscard]] std::intptr_t native_handle() const { return native_; }
    // The system error of the failed open (0 after a successful one).
    [[nodiscard]] std::uint32_t open_error() const { return open_error_; }

    // One system call each; nullopt on failure, 0 bytes at end of file.
    [[nodiscard]] std::optional<std::size_t> read_some(void* buffer, std::size_t size);
    [[nodiscard]] std::optional<std::size_t> write_some(const void* buffer, std::size_t size);

    // Back to the first byte, for reading the file once more.
    [[nodiscard]] bool rewind();

    [[nodiscard]] std::optional<std::uint64_t> size() const;
    // Last write time in Windows file-time units (100 ns since 1601-01-01 UTC) on every platform.
    [[nodiscard]] std::optional<std::uint64_t> last_write_time() const;

    void close();

private:
    static constexpr std::intptr_t invalid_native = -1;
    std::intptr_t native_ = invalid_native; // HANDLE on Windows, descriptor elsewhere
    std::uint32_t open_error_ = 0;
};

// Reads until `size` bytes arrived, end of file, or a failure; returns the bytes read
// (nullopt when a read failed).
[[nodiscard]] std::optional<std::size_t> read_fully(file_handle& file, void* buffer, std::size_t size);
// Reads the whole file at `path` through `buffer` in pieces of at most 1 MiB, so that a
// file of many gigabytes never has to fit in memory, and hands each piece to `take`. Returns
// the size read: 0 for an empty file; nullopt when the file cannot be opened or does not
// give the size it had when it was opened (the pieces handed over so far are then no file).
using file_piece_taker = std::function<void(const std::uint8_t* data, std::size_t size)>;
[[nodiscard]] std::optional<std::uint64_t> read_file_pieces(const std::wstring& path, byte_buffer& buffer,
                                                            const file_piece_taker& take);
// The same for a file the caller holds open, read from where it stands: a handle it read
// before must be rewound first.
[[nodiscard]] std::optional<std::uint64_t> read_file_pieces(file_handle& file, byte_buffer& buffer,
                                                            const file_piece_taker& take);
// Writes all bytes; false on a failure or a call that moved nothing.
[[nodiscard]] bool write_fully(file_handle& file, const void* buffer, std::size_t size);

// Copies what is left of `source` into a file created (or truncated) at `target`. On failure
// no partial copy is left.
[[nodiscard]] bool copy_to_file(file_handle& source, const std::wstring& target);

struct c_file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using c_file = std::unique_ptr<std::FILE, c_file_closer>;

// A C stream on a wide path; on failure returns null and sets error_number to the errno value.
[[nodiscard]] c_file open_c_file(const std::wstring& path, const wchar_t* mode, int& error_number);

} // namespace qz4
