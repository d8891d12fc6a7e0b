// POSIX: syncfs flushes one file system, where sync would wait for every mounted one.
#include "common/durability.hpp"

#include "common/native_path_posix.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace qz4 {

bool flush_volume_of(const std::wstring& path) {
    const int fd = ::open(to_native_path(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool flushed = ::syncfs(fd) == 0;
    ::close(fd);
    return flushed;
}

bool flush_file(const std::wstring& path) {
    const int fd = ::open(to_native_path(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool flushed = ::fsync(fd) == 0;
    ::close(fd);
    return flushed;
}

} // namespace qz4
