// Windows helper processes for tests: CreateProcessW with a command line quoted by the C
// runtime's rules, output collected through a pipe.
#include "tests/support/test_process.hpp"

#include "common/encoding.hpp"
#include "common/unique_handle_win32.hpp"

#include <shellapi.h>
#include <windows.h>

#include <memory>
#include <stdexcept>
#include <thread>

namespace qz4::test {

namespace {

// Quotes one argument so that the C runtime of the started program gets it back unchanged.
std::wstring quote_argument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows them.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

std::wstring command_line_for(const std::filesystem::path& program,
                              const std::vector<std::string>& arguments) {
    std::wstring line = quote_argument(program.wstring());
    for (const auto& argument : arguments)
        line += L" " + quote_argument(utf8_to_wide(argument));
    return line;
}

PROCESS_INFORMATION start(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                          const std::filesystem::path& directory, HANDLE output) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    unique_handle null_input;
    if (output != nullptr) {
        SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
        null_input.reset(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                       OPEN_EXISTING, 0, nullptr));
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = null_input.get();
        startup.hStdOutput = output;
        startup.hStdError = output;
    }
    std::wstring line = command_line_for(program, arguments);
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(program.wstring().c_str(), line.data(), nullptr, nullptr, output != nullptr, 0,
                          nullptr, directory.wstring().c_str(), &startup, &created))
        throw std::runtime_error("cannot start " + program.string() + ", error " +
                                 std::to_string(::GetLastError()));
    return created;
}

} // namespace

run_result run_program(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                       const std::filesystem::path& directory, std::chrono::milliseconds timeout) {
    HANDLE read_raw = nullptr;
    HANDLE write_raw = nullptr;
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    if (!::CreatePipe(&read_raw, &write_raw, &inheritable, 0))
        throw std::runtime_error("CreatePipe failed");
    const unique_handle read_end(read_raw);
    unique_handle write_end(write_raw);
    ::SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);

    const PROCESS_INFORMATION created = start(program, arguments, directory, write_end.get());
    const unique_handle process(created.hProcess);
    const unique_handle thread(created.hThread);
    write_end.reset();

    // Polled rather than read to the end: programs the child starts may inherit the pipe and
    // keep it open long after the child is gone.
    run_result result;
    auto drain = [&] {
        DWORD available = 0;
        while (::PeekNamedPipe(read_end.get(), nullptr, 0, nullptr, &available, nullptr) && available != 0) {
            std::string chunk(available, '\0');
            DWORD got = 0;
            if (!::ReadFile(read_end.get(), chunk.data(), available, &got, nullptr) || got == 0)
                break;
            result.output.append(chunk.data(), got);
        }
    };
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (::WaitForSingleObject(process.get(), 5) == WAIT_TIMEOUT) {
        drain();
        if (std::chrono::steady_clock::now() > deadline) {
            ::TerminateProcess(process.get(), 1);
            ::WaitForSingleObject(process.get(), INFINITE);
            drain();
            return result; // exit code stays -1
        }
    }
    drain();
    DWORD exit_code = 0;
    if (::GetExitCodeProcess(process.get(), &exit_code))
        result.exit_code = static_cast<int>(exit_code);
    return result;
}

background_process::background_process(const std::filesystem::path& program,
                                       const std::vector<std::string>& arguments,
                                       const std::filesystem::path& directory) {
    const PROCESS_INFORMATION created = start(program, arguments, directory, nullptr);
    ::CloseHandle(created.hThread);
    id_ = created.dwProcessId;
    handle_ = reinterpret_cast<std::intptr_t>(created.hProcess);
}

background_process::~background_process() {
    kill();
    ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool background_process::finished() {
    return ::WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), 0) == WAIT_OBJECT_0;
}

int background_process::wait_for_exit(std::chrono::milliseconds timeout) {
    const HANDLE process = reinterpret_cast<HANDLE>(handle_);
    if (::WaitForSingleObject(process, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
        kill();
        return -1;
    }
    DWORD exit_code = 0;
    return ::GetExitCodeProcess(process, &exit_code) ? static_cast<int>(exit_code) : -1;
}

void background_process::kill() {
    if (finished())
        return;
    ::TerminateProcess(reinterpret_cast<HANDLE>(handle_), 1);
    ::WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), 10000);
}

std::vector<std::string> arguments_seen_by_client(const std::vector<std::string>& launcher_arguments) {
    // The launcher passes its arguments on unquoted after the quoted program path; the
    // client's runtime splits that line again.
    std::wstring line = L"\"client\"";
    for (const auto& argument : launcher_arguments)
        line += L" " + utf8_to_wide(argument);
    int count = 0;
    const std::unique_ptr<LPWSTR, decltype(&::LocalFree)> split(::CommandLineToArgvW(line.c_str(), &count),
                                                                &::LocalFree);
    std::vector<std::string> seen;
    for (int i = 1; split && i < count; ++i)
        seen.push_back(wide_to_utf8(split.get()[i]));
    return seen;
}

} // namespace qz4::test
