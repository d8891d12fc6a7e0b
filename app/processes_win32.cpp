// Win32 process services: the process list, image paths, termination, and CreateProcessW
// for the game and for the restarted launcher.
#include "app/processes.hpp"

#include "app/game_start.hpp"
#include "common/file_system.hpp"
#include "common/paths.hpp"
#include "common/unique_handle_win32.hpp"

#include <psapi.h>

#include <algorithm>
#include <windows.h>

namespace qz4 {

namespace {

thread_local std::uint32_t last_error = 0;

// A system with more processes than the buffer holds fills it exactly, which is the only
// sign that ids were left out, so it grows until they all fit.
constexpr std::size_t max_process_capacity = std::size_t{1} << 22;

// Image paths start with room for MAX_PATH code units and double up to the longest path
// the system allows (32767 code units and its terminator).
constexpr DWORD initial_image_path_length = MAX_PATH;
constexpr DWORD max_image_path_length = 1 << 16;

// Creates a process from a complete command line and lets it run on its own: the handles are
// closed at once, the launcher never waits for what it started. With `program` named, the
// system starts that file and nothing else; without, it looks for the command line's first
// token, in the current folder and along the search path too when it is not a full path.
bool create_detached_process(const std::wstring* program, std::wstring command_line,
                             const std::wstring& working_directory) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION created{};
    // CreateProcessW may write into the command line, so it gets a writable copy.
    if (!::CreateProcessW(program != nullptr ? program->c_str() : nullptr, command_line.data(), nullptr,
                          nullptr, FALSE, 0, nullptr, working_directory.c_str(), &startup, &created)) {
        last_error = ::GetLastError();
        return false;
    }
    const unique_handle process(created.hProcess);
    const unique_handle thread(created.hThread);
    return true;
}

} // namespace

std::vector<std::uint32_t> enumerate_process_ids(std::size_t initial_capacity) {
    std::vector<DWORD> ids(std::max<std::size_t>(initial_capacity, 1));
    for (;;) {
        const auto bytes = static_cast<DWORD>(ids.size() * sizeof(DWORD));
        DWORD returned = 0;
        if (!::K32EnumProcesses(ids.data(), bytes, &returned))
            return {};
        if (returned < bytes || ids.size() >= max_process_capacity) {
            ids.resize(returned / sizeof(DWORD));
            return {ids.begin(), ids.end()};
        }
        ids.resize(ids.size() * 2);
    }
}

std::wstring process_image_path(std::uint32_t process_id) {
    const unique_handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
    if (!process.valid())
        return {};
    std::wstring buffer(initial_image_path_length, L'\0');
    for (;;) {
        auto length = static_cast<DWORD>(buffer.size());
        const bool ok = ::QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &length) != FALSE;
        if (ok && length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        const bool too_small = ok || ::GetLastError() == ERROR_INSUFFICIENT_BUFFER;
        if (!too_small || buffer.size() >= max_image_path_length)
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

void terminate_process(std::uint32_t process_id, unsigned wait_ms) {
    const unique_handle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process_id));
    if (process.valid() && ::TerminateProcess(process.get(), 0))
        ::WaitForSingleObject(process.get(), wait_ms);
}

bool spawn_process(const std::wstring& program, const std::vector<std::wstring>& arguments,
                   const std::wstring& working_directory) {
    return create_detached_process(nullptr, game_command_line(program, arguments), working_directory);
}

bool relaunch_program(const std::wstring& program, const std::vector<std::wstring>& tokens) {
    std::vector<std::wstring> arguments;
    if (tokens.size() > 1)
        arguments.assign(tokens.begin() + 1, tokens.end());
    return create_detached_process(&program, game_command_line(program, arguments),
                                   parent_directory(program));
}

bool relaunch_self(const std::wstring& exe_path, const std::vector<std::wstring>& /*tokens*/) {
    // The new copy gets the command line exactly as this process received it, not a rebuilt
    // one: quoting the split tokens again could change what it sees. The program started is
    // named apart from it: the launcher runs with administrator rights, and must not start
    // whatever file of that name the search would find first.
    return create_detached_process(&exe_path, ::GetCommandLineW(), parent_directory(exe_path));
}

std::uint32_t last_system_error() {
    return last_error;
}

bool set_environment_variable(const std::wstring& name, const std::wstring& value) {
    if (::SetEnvironmentVariableW(name.c_str(), value.c_str()))
        return true;
    last_error = ::GetLastError();
    return false;
}

} // namespace qz4
