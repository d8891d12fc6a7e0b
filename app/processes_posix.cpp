// POSIX process services over /proc and posix_spawn.
#include "app/processes.hpp"

#include "app/game_start.hpp"
#include "common/encoding.hpp"
#include "common/file_system.hpp"
#include "common/native_path_posix.hpp"
#include "common/paths.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <spawn.h>
#include <sys/types.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace qz4 {

namespace {

thread_local std::uint32_t last_error = 0;

bool is_decimal(const char* text) {
    if (*text == '\0')
        return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9')
            return false;
    }
    return true;
}

// A process that has ended but not been reaped still has a /proc entry; its executable
// link is gone, so it no longer counts as running.
bool process_alive(std::uint32_t process_id) {
    const std::string link = "/proc/" + std::to_string(process_id) + "/exe";
    char target[8];
    return ::kill(static_cast<pid_t>(process_id), 0) == 0 &&
           ::readlink(link.c_str(), target, sizeof target) >= 0;
}

class spawn_arguments {
public:
    explicit spawn_arguments(const std::vector<std::string>& values) : values_(values) {
        for (auto& value : values_)
            pointers_.push_back(value.data());
        pointers_.push_back(nullptr);
    }
    char* const* get() { return pointers_.data(); }

private:
    std::vector<std::string> values_;
    std::vector<char*> pointers_;
};

bool spawn_native(const std::string& program, const std::vector<std::string>& argv,
                  const std::string& directory) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::unique_ptr<posix_spawn_file_actions_t, int (*)(posix_spawn_file_actions_t*)> actions_guard(
        &actions, &posix_spawn_file_actions_destroy);
    if (!directory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    // The splash blocks SIGINT in every thread of ours so that only its own thread takes
    // Ctrl+C; posix_spawn would hand that mask on, and the game or a restarted launcher
    // would then ignore Ctrl+C for good.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    std::unique_ptr<posix_spawnattr_t, int (*)(posix_spawnattr_t*)> attributes_guard(
        &attributes, &posix_spawnattr_destroy);
    sigset_t no_signals;
    sigemptyset(&no_signals);
    posix_spawnattr_setsigmask(&attributes, &no_signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    spawn_arguments arguments(argv);
    pid_t child = 0;
    const int result =
        ::posix_spawn(&child, program.c_str(), &actions, &attributes, arguments.get(), environ);
    last_error = static_cast<std::uint32_t>(result);
    return result == 0;
}

} // namespace

std::vector<std::uint32_t> enumerate_process_ids(std::size_t /*initial_capacity*/) {
    std::vector<std::uint32_t> ids;
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), &::closedir);
    if (!proc)
        return ids;
    while (const dirent* entry = ::readdir(proc.get())) {
        if (is_decimal(entry->d_name))
            ids.push_back(static_cast<std::uint32_t>(std::strtoul(entry->d_name, nullptr, 10)));
    }
    return ids;
}

std::wstring process_image_path(std::uint32_t process_id) {
    const std::string link = "/proc/" + std::to_string(process_id) + "/exe";
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink(link.c_str(), buffer.data(), buffer.size());
        if (length < 0)
            return {};
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            return from_native_path(buffer);
        }
        buffer.resize(buffer.size() * 2);
    }
}

void terminate_process(std::uint32_t process_id, unsigned wait_ms) {
    if (::kill(static_cast<pid_t>(process_id), SIGKILL) != 0)
        return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (process_alive(process_id) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

bool spawn_process(const std::wstring& program, const std::vector<std::wstring>& arguments,
                   const std::wstring& working_directory) {
    const std::string native_program = to_native_path(program);
    std::vector<std::string> argv{native_program};
    for (const auto& argument : arguments)
        argv.push_back(wide_to_utf8(argument));
    return spawn_native(native_program, argv, to_native_path(working_directory));
}

bool relaunch_program(const std::wstring& program, const std::vector<std::wstring>& tokens) {
    std::vector<std::string> argv;
    for (const auto& token : tokens)
        argv.push_back(wide_to_utf8(token));
    if (argv.empty())
        argv.push_back(to_native_path(program));
    return spawn_native(to_native_path(program), argv, to_native_path(parent_directory(program)));
}

bool relaunch_self(const std::wstring& exe_path, const std::vector<std::wstring>& tokens) {
    // Not /proc/self/exe: after a self-update that names the old copy, which has moved aside.
    return relaunch_program(exe_path, tokens);
}

std::uint32_t last_system_error() {
    return last_error;
}

bool set_environment_variable(const std::wstring& name, const std::wstring& value) {
    const bool ok = ::setenv(wide_to_utf8(name).c_str(), wide_to_utf8(value).c_str(), 1) == 0;
    if (!ok)
        last_error = static_cast<std::uint32_t>(errno);
    return ok;
}

} // namespace qz4
