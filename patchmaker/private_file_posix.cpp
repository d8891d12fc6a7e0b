// POSIX: mode 0600 from the creating open, whatever the umask; any group or other bit found
// on the file is too much.
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

bool readable_by_others(const std::wstring& path) {
    struct stat status {};
    return ::stat(to_native_path(path).c_str(), &status) == 0 && (status.st_mode & (S_IRWXG | S_IRWXO)) != 0;
}

std::string owner_only_command(const std::wstring& path) {
    std::string quoted;
    for (const char c : to_native_path(path))
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return "chmod 600 '" + quoted + "'";
}

} // namespace qz4
