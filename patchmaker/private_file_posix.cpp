// POSIX: mode 0600 from the creating open, whatever the umask.
#include "patchmaker/private_file.hpp"

#include "common/native_path_posix.hpp"
#include "common/system_call_posix.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qz4 {

namespace {

bool write_all(int descriptor, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written =
            retry_interrupted([&] { return ::write(descriptor, text.data(), text.size()); });
        if (written <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace

bool create_private_file(const std::wstring& path, std::string_view text) {
    const std::string native = to_native_path(path);
    const int descriptor = retry_interrupted(
        [&] { return ::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR); });
    if (descriptor < 0)
        return false;
    const bool written = ::fchmod(descriptor, S_IRUSR | S_IWUSR) == 0 && write_all(descriptor, text) &&
                         ::fsync(descriptor) == 0;
    const bool closed = ::close(descriptor) == 0;
    if (written && closed)
        return true;
    ::unlink(native.c_str());
    return false;
}

} // namespace qz4
