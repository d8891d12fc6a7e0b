// POSIX file handles. There is no sharing mode to ask for here; the rest of the contract
// (existing files only, no directories, create-or-truncate) is kept.
#include "common/file_handle.hpp"

#include "common/encoding.hpp"
#include "common/file_time_posix.hpp"
#include "common/native_path_posix.hpp"
#include "common/system_call_posix.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qz4 {

namespace {

struct opened {
    int fd;    // -1 when the open failed
    int error; // errno of a failed open
};

// One open, retried while a signal interrupts it.
opened open_retrying(const std::wstring& path, int flags, mode_t mode = 0) {
    const std::string native = to_native_path(path);
    const int fd = retry_interrupted([&] { return ::open(native.c_str(), flags, mode); });
    return {fd, fd < 0 ? errno : 0};
}

} // namespace

file_handle file_handle::open_read(const std::wstring& path) {
    file_handle file;
    const auto [fd, error] = open_retrying(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        file.open_error_ = static_cast<std::uint32_t>(error);
        return file;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        // A directory cannot be opened as a file on Windows either.
        ::close(fd);
        file.open_error_ = EISDIR;
        return file;
    }
    file.native_ = fd;
    return file;
}

file_handle file_handle::open_read_regular(const std::wstring& path) {
    file_handle file;
    // O_NONBLOCK: opening a pipe for reading would wait for a writer. It changes nothing for
    // a regular file, whose reads never block.
    const auto [fd, error] = open_retrying(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        file.open_error_ = static_cast<std::uint32_t>(error);
        return file;
    }
    file.native_ = fd;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        file.close();
        file.open_error_ = static_cast<std::uint32_t>(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    }
    return file;
}

file_handle file_handle::create_write(const std::wstring& path) {
    file_handle file;
    const auto [fd, error] = open_retrying(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        file.open_error_ = static_cast<std::uint32_t>(error);
    else
        file.native_ = fd;
    return file;
}

file_handle file_handle::continue_write(const std::wstring& path, std::uint64_t length) {
    file_handle file;
    const auto [fd, open_error] = open_retrying(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        file.open_error_ = static_cast<std::uint32_t>(open_error);
        return file;
    }
    file.native_ = fd;
    struct stat info {};
    const auto offset = static_cast<off_t>(length);
    int error = 0;
    if (::fstat(fd, &info) != 0)
        error = errno;
    else if (!S_ISREG(info.st_mode) || info.st_size < offset)
        error = EINVAL; // a shorter file would be lengthened with zeros never received
    else if (::ftruncate(fd, offset) != 0 || ::lseek(fd, offset, SEEK_SET) != offset)
        error = errno;
    if (error != 0) {
        file.close();
        file.open_error_ = static_cast<std::uint32_t>(error);
    }
    return file;
}

std::optional<std::size_t> file_handle::read_some(void* buffer, std::size_t size) {
    const ssize_t got = retry_interrupted([&] { return ::read(static_cast<int>(native_), buffer, size); });
    if (got < 0)
        return std::nullopt;
    return static_cast<std::size_t>(got);
}

std::optional<std::size_t> file_handle::write_some(const void* buffer, std::size_t size) {
    const ssize_t wrote = retry_interrupted([&] { return ::write(static_cast<int>(native_), buffer, size); });
    if (wrote < 0)
        return std::nullopt;
    return static_cast<std::size_t>(wrote);
}

bool file_handle::rewind() {
    return is_open() && ::lseek(static_cast<int>(native_), 0, SEEK_SET) == 0;
}

std::optional<std::uint64_t> file_handle::size() const {
    struct stat info {};
    if (!is_open() || ::fstat(static_cast<int>(native_), &info) != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

std::optional<std::uint64_t> file_handle::last_write_time() const {
    struct stat info {};
    if (!is_open() || ::fstat(static_cast<int>(native_), &info) != 0)
        return std::nullopt;
    return windows_file_time(info.st_mtim);
}

void file_handle::close() {
    if (is_open()) {
        ::close(static_cast<int>(native_));
        native_ = invalid_native;
    }
}

c_file open_c_file(const std::wstring& path, const wchar_t* mode, int& error_number) {
    error_number = 0;
    const std::string narrow_mode = wide_to_utf8(mode);
    c_file file(std::fopen(to_native_path(path).c_str(), narrow_mode.c_str()));
    if (!file)
        error_number = errno;
    return file;
}

} // namespace qz4
