// Windows probes: CreateFileW with chosen sharing, and message boxes found among the
// top-level dialogs of a process.
#include "tests/support/system_probe.hpp"

#include <cstdlib>

#include "common/unique_handle_win32.hpp"

#include <windows.h>

#include <sddl.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <thread>
#include <vector>

namespace qz4::test {

namespace {

HANDLE as_handle(std::intptr_t native) {
    return reinterpret_cast<HANDLE>(native);
}

// The static control that carries a message box's text.
constexpr int message_text_control = 0xFFFF;

struct search {
    DWORD process_id;
    std::wstring class_name;
    HWND found = nullptr;
};

BOOL CALLBACK consider_window(HWND window, LPARAM context) {
    auto* wanted = reinterpret_cast<search*>(context);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    wchar_t class_name[64] = {};
    ::GetClassNameW(window, class_name, 64);
    if (owner == wanted->process_id && ::IsWindowVisible(window) && class_name == wanted->class_name) {
        wanted->found = window;
        return FALSE;
    }
    return TRUE;
}

// A visible top-level window of the class shown by the process (0: this process).
HWND find_window(std::uint32_t process_id, const std::wstring& class_name,
                 std::chrono::milliseconds timeout) {
    search wanted{process_id != 0 ? process_id : ::GetCurrentProcessId(), class_name};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        ::EnumWindows(&consider_window, reinterpret_cast<LPARAM>(&wanted));
        if (wanted.found != nullptr || std::chrono::steady_clock::now() > deadline)
            return wanted.found;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::wstring window_text(HWND window) {
    const int length = ::GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(::GetWindowTextW(window, text.data(), length + 1)));
    return text;
}

// The reparse data of a junction (a mount point), as FSCTL_SET_REPARSE_POINT takes it.
struct mount_point_header {
    DWORD tag;
    WORD data_length;
    WORD reserved;
    WORD substitute_offset;
    WORD substitute_length;
    WORD print_offset;
    WORD print_length;
};

bool is_link(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

} // namespace

std::string access_of(const std::wstring& path) {
    constexpr SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD size = 0;
    ::GetFileSecurityW(path.c_str(), wanted, nullptr, 0, &size);
    std::vector<BYTE> descriptor(size);
    wchar_t* text = nullptr;
    if (size == 0 || !::GetFileSecurityW(path.c_str(), wanted, descriptor.data(), size, &size) ||
        !::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1, wanted,
                                                                &text, nullptr))
        return "missing";
    std::string narrow;
    for (const wchar_t* c = text; *c != L'\0'; ++c)
        narrow += static_cast<char>(*c);
    ::LocalFree(text);
    return narrow;
}

bool keeps_access_lists(const std::wstring& directory) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;WD)", SDDL_REVISION_1,
                                                                &descriptor, nullptr))
        return false;
    const bool set = ::SetFileSecurityW(directory.c_str(), DACL_SECURITY_INFORMATION, descriptor) != FALSE;
    ::LocalFree(descriptor);
    return set && access_of(directory).find("D:P") != std::string::npos;
}

bool give_to_another_user(const std::wstring& /*path*/) {
    return false;
}

bool make_directory_link(const std::wstring& link, const std::wstring& target) {
    if (!::CreateDirectoryW(link.c_str(), nullptr))
        return false;
    bool made = false;
    {
        const unique_handle directory(::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                                    nullptr));
        // The substitute name in the kernel's form, then an empty print name.
        const std::wstring substitute = L"\\??\\" + target;
        const std::size_t names = (substitute.size() + 2) * sizeof(wchar_t);
        std::vector<std::byte> data(sizeof(mount_point_header) + names);
        mount_point_header header{IO_REPARSE_TAG_MOUNT_POINT,
                                  static_cast<WORD>(8 + names),
                                  0,
                                  0,
                                  static_cast<WORD>(substitute.size() * sizeof(wchar_t)),
                                  static_cast<WORD>((substitute.size() + 1) * sizeof(wchar_t)),
                                  0};
        std::memcpy(data.data(), &header, sizeof header);
        std::memcpy(data.data() + sizeof header, substitute.c_str(), substitute.size() * sizeof(wchar_t));
        DWORD returned = 0;
        made = directory.valid() &&
               ::DeviceIoControl(directory.get(), FSCTL_SET_REPARSE_POINT, data.data(),
                                 static_cast<DWORD>(data.size()), nullptr, 0, &returned, nullptr) &&
               is_link(link);
    }
    if (!made)
        ::RemoveDirectoryW(link.c_str());
    return made;
}

bool make_file_link(const std::wstring& link, const std::wstring& target) {
    constexpr DWORD unprivileged = 0x2; // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    // Wine answers success without making anything: only a link that is there counts.
    return ::CreateSymbolicLinkW(link.c_str(), target.c_str(), unprivileged) && is_link(link);
}

bool make_hard_link(const std::wstring& link, const std::wstring& target) {
    return ::CreateHardLinkW(link.c_str(), target.c_str(), nullptr) != FALSE;
}

std::string windows_only_skip_reason() {
    return {};
}

std::string posix_only_skip_reason() {
    return "checks a POSIX stand-in; the test named ...Windows covers this system";
}

void set_environment(const char* name, const char* value) {
    // Both the process block and the C library's copy, which getenv reads.
    ::SetEnvironmentVariableA(name, *value == '\0' ? nullptr : value);
    (void)::_putenv_s(name, value);
}

void with_interrupt_blocked(const std::function<void()>& action) {
    action();
}

held_file::held_file(const std::wstring& path, access how) {
    const DWORD desired = how == access::read_sharing_all ? GENERIC_READ : GENERIC_WRITE;
    const DWORD sharing = how == access::read_sharing_all
                              ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                              : FILE_SHARE_READ | FILE_SHARE_WRITE;
    const HANDLE handle =
        ::CreateFileW(path.c_str(), desired, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    handle_ = reinterpret_cast<std::intptr_t>(handle);
}

held_file::~held_file() {
    close();
}

bool held_file::is_open() const {
    return as_handle(handle_) != INVALID_HANDLE_VALUE;
}

std::string held_file::read_all() {
    std::string content;
    if (!is_open() ||
        ::SetFilePointer(as_handle(handle_), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return content;
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(as_handle(handle_), chunk, sizeof chunk, &got, nullptr) && got != 0)
        content.append(chunk, got);
    return content;
}

void held_file::close() {
    if (is_open()) {
        ::CloseHandle(as_handle(handle_));
        handle_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
    }
}

bool can_open_file(const std::wstring& path) {
    const HANDLE handle =
        ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(handle);
    return true;
}

std::optional<std::wstring> wait_for_window(std::uint32_t process_id, const std::wstring& class_name,
                                            std::chrono::milliseconds timeout) {
    if (const HWND window = find_window(process_id, class_name, timeout))
        return window_text(window);
    return std::nullopt;
}

std::optional<message_box_seen> answer_message_box(std::uint32_t process_id, int answer,
                                                   std::chrono::milliseconds timeout) {
    const HWND box = find_window(process_id, L"#32770", timeout);
    if (box == nullptr)
        return std::nullopt;
    message_box_seen seen;
    seen.caption = window_text(box);
    if (const HWND text = ::GetDlgItem(box, message_text_control))
        seen.text = window_text(text);
    for (const int button : {button_ok, button_yes, button_no}) {
        if (::GetDlgItem(box, button) != nullptr)
            seen.buttons.push_back(button);
    }
    seen.topmost = (::GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(box, answer)));
    return seen;
}

} // namespace qz4::test
