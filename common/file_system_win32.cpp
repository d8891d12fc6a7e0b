// Win32 primitives of the file-system layer. Paths are handed to the wide API as they are:
// no normalisation, so what the caller passes is what the system sees.
#include "common/file_system.hpp"

#include "common/paths.hpp"
#include "common/unique_handle_win32.hpp"

#include <windows.h>
#include <winternl.h>

namespace qz4 {

namespace {

// Closes a FindFirstFileW search on every path out.
class find_search {
public:
    explicit find_search(const std::wstring& pattern) : handle_(::FindFirstFileW(pattern.c_str(), &data_)) {}
    ~find_search() {
        if (handle_ != INVALID_HANDLE_VALUE)
            ::FindClose(handle_);
    }
    find_search(const find_search&) = delete;
    find_search& operator=(const find_search&) = delete;

    [[nodiscard]] bool started() const { return handle_ != INVALID_HANDLE_VALUE; }
    [[nodiscard]] const WIN32_FIND_DATAW& entry() const { return data_; }
    [[nodiscard]] bool next() { return ::FindNextFileW(handle_, &data_) != FALSE; }

private:
    WIN32_FIND_DATAW data_{};
    HANDLE handle_;
};

// NtSetInformationFile is not in the import libraries the program links; it is looked up in
// ntdll once per process (the static's initialisation is thread-safe).
struct io_status_block {
    void* status_or_pointer;
    ULONG_PTR information;
};
using nt_set_information_file_fn = LONG(NTAPI*)(HANDLE file, io_status_block* io_status, void* information,
                                                ULONG length, int information_class);
constexpr int file_disposition_information = 13;

nt_set_information_file_fn nt_set_information_file() {
    static const nt_set_information_file_fn function = [] {
        const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        if (ntdll == nullptr)
            return nt_set_information_file_fn{};
        // Through a generic function pointer: casting FARPROC directly draws a type warning.
        const auto generic = reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, "NtSetInformationFile"));
        return reinterpret_cast<nt_set_information_file_fn>(generic);
    }();
    return function;
}

static_assert(windows_attribute_directory == FILE_ATTRIBUTE_DIRECTORY &&
              windows_attribute_reparse_point == FILE_ATTRIBUTE_REPARSE_POINT);

} // namespace

std::optional<file_attributes> read_file_attributes(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return std::nullopt;
    file_attributes result;
    result.directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    result.reparse_point = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return result;
}

std::optional<std::vector<directory_entry>> find_entries(const std::wstring& directory,
                                                         std::wstring_view pattern) {
    find_search search(join_path(directory, pattern));
    if (!search.started()) {
        // No match at all is an empty listing, not a failed search.
        if (::GetLastError() == ERROR_FILE_NOT_FOUND)
            return std::vector<directory_entry>{};
        return std::nullopt;
    }
    // Entries come in the order the system returns them.
    std::vector<directory_entry> entries;
    do {
        const WIN32_FIND_DATAW& found = search.entry();
        const std::wstring_view name(found.cFileName);
        if (name == L"." || name == L"..")
            continue;
        entries.push_back(
            {std::wstring(name), entry_kind_of_windows_attributes(found.dwFileAttributes), false});
    } while (search.next());
    return entries;
}

std::optional<std::uint64_t> stat_file_size(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return std::nullopt;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::optional<file_status> stat_file_status(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        return std::nullopt;
    const auto written = (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                         data.ftLastWriteTime.dwLowDateTime;
    return file_status{(static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow, written};
}

std::optional<std::uint64_t> free_disk_space(const std::wstring& directory) {
    // A share's name must end with a backslash, and any other directory may.
    std::wstring name = directory;
    if (name.empty() || name.back() != L'\\')
        name += L'\\';
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(name.c_str(), &available, nullptr, nullptr))
        return std::nullopt;
    return available.QuadPart;
}

bool make_directory(const std::wstring& path) {
    return ::CreateDirectoryW(path.c_str(), nullptr) != FALSE;
}

bool remove_empty_directory(const std::wstring& path) {
    return ::RemoveDirectoryW(path.c_str()) != FALSE;
}

bool delete_file_now(const std::wstring& path) {
    // Sharing everything lets the deletion through even while others hold the file open with
    // delete sharing; it disappears when the last handle closes. A link is opened itself, so
    // that the link goes and what it leads to stays, as DeleteFileW does it.
    const unique_handle file(
        ::CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid())
        return false;
    const auto set_information = nt_set_information_file();
    if (set_information == nullptr)
        return false;
    io_status_block status{};
    BOOLEAN delete_file = TRUE;
    return set_information(file.get(), &status, &delete_file, sizeof delete_file,
                           file_disposition_information) >= 0;
}

std::wstring module_path() {
    // The image path the process was created with, as the loader recorded it in the process
    // parameters. The process's own PEB is found through the basic information query rather
    // than the thread block, whose inline accessor GCC 12 misreads at -O3 on i686.
    PROCESS_BASIC_INFORMATION basic{};
    if (::NtQueryInformationProcess(::GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof basic,
                                    nullptr) < 0 ||
        basic.PebBaseAddress == nullptr)
        return {};
    const UNICODE_STRING& image = basic.PebBaseAddress->ProcessParameters->ImagePathName;
    return std::wstring(image.Buffer, image.Length / sizeof(wchar_t));
}

bool set_hidden_attribute(const std::wstring& path) {
    return ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NORMAL) != FALSE;
}

bool move_file_replace(const std::wstring& from, const std::wstring& to) {
    return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool mark_executable(const std::wstring& path) {
    // Windows runs a file by its name; there is no bit to set.
    return is_regular_file(path);
}

bool copy_file_overwrite(const std::wstring& from, const std::wstring& to) {
    return ::CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

} // namespace qz4
