// Win32 file handles: CreateFileW with the sharing the program relies on (readers let other
// readers in but no writer; a writer lets readers in), ReadFile/WriteFile in capped calls.
#include "common/file_handle.hpp"

#include <windows.h>

#include <algorithm>
#include <tuple>
#include <utility>

namespace qz4 {

namespace {

// One ReadFile/WriteFile moves at most this much: the calls take 32-bit counts, and very
// large single requests fail on some network file systems.
constexpr std::size_t max_bytes_per_call = std::size_t{1} << 24;

HANDLE as_handle(std::intptr_t native) {
    return reinterpret_cast<HANDLE>(native);
}

std::intptr_t as_native(HANDLE handle) {
    return reinterpret_cast<std::intptr_t>(handle);
}

// The handle (or INVALID_HANDLE_VALUE) and the error of a failed open.
std::pair<std::intptr_t, std::uint32_t> create_file(const std::wstring& path, DWORD access, DWORD sharing,
                                                    DWORD disposition, DWORD flags = 0) {
    const HANDLE handle = ::CreateFileW(path.c_str(), access, sharing, nullptr, disposition,
                                        FILE_ATTRIBUTE_NORMAL | flags, nullptr);
    return {as_native(handle), handle == INVALID_HANDLE_VALUE ? ::GetLastError() : 0};
}

// A file on a disk, not a directory (which CreateFileW opens only with backup semantics
// anyway), not a reparse point opened as itself, not a device or pipe.
bool is_regular_file_handle(HANDLE handle) {
    if (::GetFileType(handle) != FILE_TYPE_DISK)
        return false;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle, &information))
        return false;
    return (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

} // namespace

file_handle file_handle::open_read(const std::wstring& path) {
    file_handle file;
    std::tie(file.native_, file.open_error_) =
        create_file(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    return file;
}

file_handle file_handle::open_read_regular(const std::wstring& path) {
    file_handle file;
    // With FILE_FLAG_OPEN_REPARSE_POINT a link or junction is opened itself, and then refused.
    std::tie(file.native_, file.open_error_) =
        create_file(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
    if (file.is_open() && !is_regular_file_handle(as_handle(file.native_))) {
        file.close();
        file.open_error_ = ERROR_CANT_ACCESS_FILE;
    }
    return file;
}

file_handle file_handle::create_write(const std::wstring& path) {
    file_handle file;
    std::tie(file.native_, file.open_error_) =
        create_file(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
    return file;
}

file_handle file_handle::continue_write(const std::wstring& path, std::uint64_t length) {
    file_handle file;
    std::tie(file.native_, file.open_error_) =
        create_file(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    if (!file.is_open())
        return file;
    LARGE_INTEGER size{};
    LARGE_INTEGER offset{};
    offset.QuadPart = static_cast<LONGLONG>(length);
    // A shorter file would be lengthened with bytes that were never received.
    const bool ok = ::GetFileSizeEx(as_handle(file.native_), &size) && size.QuadPart >= offset.QuadPart &&
                    ::SetFilePointerEx(as_handle(file.native_), offset, nullptr, FILE_BEGIN) &&
                    ::SetEndOfFile(as_handle(file.native_));
    if (!ok) {
        const DWORD error = ::GetLastError();
        file.close();
        file.open_error_ = error != 0 ? error : ERROR_HANDLE_EOF;
    }
    return file;
}

std::optional<std::size_t> file_handle::read_some(void* buffer, std::size_t size) {
    DWORD got = 0;
    const auto wanted = static_cast<DWORD>(std::min(size, max_bytes_per_call));
    if (!::ReadFile(as_handle(native_), buffer, wanted, &got, nullptr))
        return std::nullopt;
    return static_cast<std::size_t>(got);
}

std::optional<std::size_t> file_handle::write_some(const void* buffer, std::size_t size) {
    DWORD wrote = 0;
    const auto wanted = static_cast<DWORD>(std::min(size, max_bytes_per_call));
    if (!::WriteFile(as_handle(native_), buffer, wanted, &wrote, nullptr))
        return std::nullopt;
    return static_cast<std::size_t>(wrote);
}

bool file_handle::rewind() {
    LARGE_INTEGER start{};
    return is_open() && ::SetFilePointerEx(as_handle(native_), start, nullptr, FILE_BEGIN) != FALSE;
}

std::optional<std::uint64_t> file_handle::size() const {
    LARGE_INTEGER size{};
    if (!is_open() || !::GetFileSizeEx(as_handle(native_), &size))
        return std::nullopt;
    return static_cast<std::uint64_t>(size.QuadPart);
}

std::optional<std::uint64_t> file_handle::last_write_time() const {
    FILETIME written{};
    if (!is_open() || !::GetFileTime(as_handle(native_), nullptr, nullptr, &written))
        return std::nullopt;
    return (static_cast<std::uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
}

void file_handle::close() {
    if (is_open()) {
        ::CloseHandle(as_handle(native_));
        native_ = invalid_native;
    }
}

c_file open_c_file(const std::wstring& path, const wchar_t* mode, int& error_number) {
    std::FILE* raw = nullptr;
    error_number = ::_wfopen_s(&raw, path.c_str(), mode);
    c_file file(raw);
    if (!file && error_number == 0)
        error_number = EINVAL;
    return file;
}

} // namespace qz4
