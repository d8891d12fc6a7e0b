// POSIX: syncfs flushes one file system, where sync would wait for every mounted one.
#include "common/durability.hpp"

#include "common/native_path_posix.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace qz4 {

namespace {

// Opens the path read-only (enough for both calls on Linux) and applies `flush` to it.
bool flush_through(const std::wstring& path, int (*flush)(int)) {
    const int fd = ::open(to_native_path(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool flushed = flush(fd) == 0;
    ::close(fd);
    return flushed;
}

} // namespace

bool flush_volume_of(const std::wstring& path) {
    return flush_through(path, &::syncfs);
}

bool flush_file(const std::wstring& path) {
    return flush_through(path, &::fsync);
}

} // namespace qz4
