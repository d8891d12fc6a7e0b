// POSIX has neither sharing modes nor message boxes: those probes only tell tests to skip.
// What POSIX has of its own here is the signal mask that the terminal splash keeps.
#include "tests/support/system_probe.hpp"

#include "common/native_path_posix.hpp"

#include <cstdlib>

#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qz4::test {

bool make_directory_link(const std::wstring& link, const std::wstring& target) {
    return ::symlink(to_native_path(target).c_str(), to_native_path(link).c_str()) == 0;
}

bool make_file_link(const std::wstring& link, const std::wstring& target) {
    return make_directory_link(link, target);
}

bool make_hard_link(const std::wstring& link, const std::wstring& target) {
    return ::link(to_native_path(target).c_str(), to_native_path(link).c_str()) == 0;
}

std::string access_of(const std::wstring& path) {
    struct stat info {};
    if (::lstat(to_native_path(path).c_str(), &info) != 0)
        return "missing";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return std::string(mode) + (info.st_uid == ::geteuid() ? "" : " foreign");
}

bool keeps_access_lists(const std::wstring& /*directory*/) {
    return true; // the mode is the access list here
}

bool give_to_another_user(const std::wstring& path) {
    constexpr uid_t nobody = 65534;
    return ::geteuid() == 0 && ::lchown(to_native_path(path).c_str(), nobody, nobody) == 0;
}

std::string windows_only_skip_reason() {
    return "Windows behaviour; this system has no equivalent";
}

std::string posix_only_skip_reason() {
    return {};
}

void set_environment(const char* name, const char* value) {
    if (*value == '\0')
        ::unsetenv(name);
    else
        ::setenv(name, value, 1);
}

void with_interrupt_blocked(const std::function<void()>& action) {
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &interrupt, &previous);
    action();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

held_file::held_file(const std::wstring& /*path*/, access /*how*/) {}
held_file::~held_file() = default;
bool held_file::is_open() const {
    return false;
}
std::string held_file::read_all() {
    return {};
}
void held_file::close() {}

bool can_open_file(const std::wstring& /*path*/) {
    return false;
}

std::optional<std::wstring> wait_for_window(std::uint32_t /*process_id*/, const std::wstring& /*class_name*/,
                                            std::chrono::milliseconds /*timeout*/) {
    return std::nullopt;
}

std::optional<message_box_seen> answer_message_box(std::uint32_t /*process_id*/, int /*answer*/,
                                                   std::chrono::milliseconds /*timeout*/) {
    return std::nullopt;
}

} // namespace qz4::test
