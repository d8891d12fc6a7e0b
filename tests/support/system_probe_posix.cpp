// POSIX has neither sharing modes nor message boxes: those probes only tell tests to skip.
// What POSIX has of its own here is the signal mask that the terminal splash keeps.
#include "tests/support/system_probe.hpp"

#include <cstdlib>

#include <csignal>
#include <pthread.h>

namespace qz4::test {

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
