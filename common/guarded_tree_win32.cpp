// Windows: each directory on the way down from the root is opened without following a
// reparse point (FILE_FLAG_OPEN_REPARSE_POINT), checked by its handle and by its name (Wine
// shows some links by their name only), and held open without delete sharing until the
// operation below it is done, so that nobody can rename it, delete it or put a junction in
// its place meanwhile. Files are opened without following a reparse point, a file to place is
// held with read sharing only (nobody may write, rename or delete it) and renamed through its
// own handle. The work area's folders get a protected access list that only administrators
// and the system may change.
#include "common/guarded_tree.hpp"

#include "common/file_system.hpp"
#include "common/paths.hpp"
#include "common/unique_handle_win32.hpp"

#include <windows.h>

#include <sddl.h>

#include <cstddef>
#include <cstring>
#include <memory>

namespace qz4 {

namespace {

// The create operation stopped after reaching a symbolic link (not in every SDK's headers).
constexpr DWORD error_stopped_on_symlink = 681;

bool is_link(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool is_missing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

HANDLE open_entry(const std::wstring& path, DWORD access, DWORD sharing, DWORD disposition, DWORD flags = 0) {
    return ::CreateFileW(path.c_str(), access, sharing, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr);
}

// The attributes of what the handle holds, with a link the name shows counted as one; 0 and
// the error set when they cannot be read.
DWORD attributes_of(HANDLE handle, const std::wstring& path) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle, &information))
        return 0;
    DWORD attributes = information.dwFileAttributes;
    if (is_link(::GetFileAttributesW(path.c_str())))
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return attributes;
}

// Why the file opened at `path` may not be written or placed; 0 when it may. A second name
// (a hard link) would let whoever made it change the file once it is closed.
DWORD plain_file_error(HANDLE file, const std::wstring& path) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file, &information))
        return ::GetLastError();
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        is_link(::GetFileAttributesW(path.c_str())))
        return error_stopped_on_symlink;
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return ERROR_ACCESS_DENIED;
    if (information.nNumberOfLinks != 1)
        return ERROR_TOO_MANY_LINKS;
    return 0;
}

// A directory held so that nobody may rename, delete or replace it: listing access makes the
// open count for sharing, and delete sharing is not given. Invalid, with the error set, when
// the name is a link or no directory.
unique_handle pin_directory(const std::wstring& path) {
    unique_handle directory(open_entry(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS));
    if (!directory.valid())
        return directory;
    const DWORD attributes = attributes_of(directory.get(), path);
    if (attributes == 0)
        return {};
    if (is_link(attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ::SetLastError(is_link(attributes) ? error_stopped_on_symlink : ERROR_DIRECTORY);
        return {};
    }
    return directory;
}

enum class missing_directories { refuse, create };

// The directories from the root down to a name, held while the operation on it runs.
struct held_path {
    std::vector<unique_handle> pins;
    std::wstring path; // the root joined with the names walked
};

std::optional<held_path> walk_down(const std::wstring& root, const std::vector<std::wstring>& names,
                                   std::size_t count, missing_directories missing) {
    held_path held{{}, root};
    for (std::size_t i = 0; i < count; ++i) {
        held.path = join_path(held.path, names[i]);
        unique_handle pin = pin_directory(held.path);
        if (!pin.valid() && missing == missing_directories::create && is_missing(::GetLastError())) {
            // Another thread may make it at the same moment: either way it is there now.
            if (::CreateDirectoryW(held.path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS)
                pin = pin_directory(held.path);
        }
        if (!pin.valid())
            return std::nullopt;
        held.pins.push_back(std::move(pin));
    }
    return held;
}

std::wstring root_for(const std::wstring& root, const std::wstring& path) {
    return root.empty() ? parent_directory(path) : root;
}

// The directories above a path's last name held; `path` of the result is the whole path.
std::optional<held_path> open_parent(const std::wstring& root_setting, const std::wstring& path,
                                     missing_directories missing = missing_directories::refuse) {
    const std::wstring root = root_for(root_setting, path);
    const auto names = names_below(root, path);
    if (!names) {
        ::SetLastError(ERROR_BAD_PATHNAME);
        return std::nullopt;
    }
    auto held = walk_down(root, *names, names->size() - 1, missing);
    if (held)
        held->path = join_path(held->path, names->back());
    return held;
}

// The kernel's form of a full path, as a rename by handle takes it.
std::wstring kernel_path(const std::wstring& path) {
    if (path.starts_with(L"\\\\?\\"))
        return L"\\??\\" + path.substr(4);
    if (path.starts_with(L"\\\\"))
        return L"\\??\\UNC\\" + path.substr(2);
    return L"\\??\\" + path;
}

// Renames what `file` holds to `target`, replacing an existing file there. The handle needs
// delete access.
bool rename_through(HANDLE file, const std::wstring& target) {
    const std::wstring name = kernel_path(target);
    const std::size_t size = offsetof(FILE_RENAME_INFO, FileName) + (name.size() + 1) * sizeof(wchar_t);
    const auto storage = std::make_unique<std::byte[]>(size);
    auto* information = new (storage.get()) FILE_RENAME_INFO{};
    information->ReplaceIfExists = TRUE;
    information->RootDirectory = nullptr;
    information->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::memcpy(information->FileName, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    return ::SetFileInformationByHandle(file, FileRenameInfo, information, static_cast<DWORD>(size)) != FALSE;
}

bool delete_through(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) !=
           FALSE;
}

// Deletes the file or link at `path` itself; a directory only when it is a link.
bool delete_entry(const std::wstring& path, DWORD attributes) {
    const DWORD flags = is_link(attributes) ? FILE_FLAG_BACKUP_SEMANTICS : 0;
    // Sharing everything lets the deletion through even while others hold the file open with
    // delete sharing; it disappears when the last handle closes.
    const unique_handle entry(open_entry(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         OPEN_EXISTING, flags));
    return entry.valid() && delete_through(entry.get());
}

// Deletes what a held directory holds. Links count as files, and go themselves.
bool remove_contents(const std::wstring& directory, bool allow_files) {
    const auto entries = find_entries(directory, L"*");
    if (!entries)
        return false;
    std::vector<std::pair<std::wstring, DWORD>> files;
    std::vector<std::wstring> subdirectories;
    for (const auto& entry : *entries) {
        const std::wstring path = join_path(directory, entry.name);
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            continue;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !is_link(attributes))
            subdirectories.push_back(path);
        else
            files.emplace_back(path, attributes);
    }
    if (!files.empty()) {
        if (!allow_files)
            return false;
        for (const auto& [path, attributes] : files)
            delete_entry(path, attributes);
    }
    for (const auto& path : subdirectories) {
        unique_handle pin = pin_directory(path);
        if (!pin.valid() || !remove_contents(path, false))
            return false;
        pin.reset();
        ::RemoveDirectoryW(path.c_str());
    }
    return true;
}

// A security descriptor from its text form, freed with LocalFree.
struct local_free {
    void operator()(void* memory) const { ::LocalFree(memory); }
};
using security_descriptor = std::unique_ptr<void, local_free>;

security_descriptor descriptor_from(const wchar_t* text) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &descriptor, nullptr))
        return nullptr;
    return security_descriptor(descriptor);
}

// Administrators and the system may do anything, every user may read and list; the list is
// protected from what the folders above pass down. The owner entry keeps a folder usable by a
// launcher that runs without administrator rights and made it itself.
constexpr wchar_t private_access[] =
    L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FA;;;OW)(A;OICI;0x1200a9;;;BU)(A;OICI;0x1200a9;;;AU)";
constexpr wchar_t private_owner_and_access[] =
    L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FA;;;OW)(A;OICI;0x1200a9;;;BU)(A;OICI;0x1200a9;;;AU)";

bool sid_is(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE known[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof known;
    return ::CreateWellKnownSid(type, nullptr, known, &size) && ::EqualSid(sid, known);
}

bool sid_is_running_user(PSID sid) {
    HANDLE raw_token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw_token))
        return false;
    const unique_handle token(raw_token);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size);
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, user.data(), size, &size))
        return false;
    return ::EqualSid(sid, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
}

// The owner of the held directory is an administrator group, the system or the running user.
bool owner_trusted(HANDLE directory) {
    DWORD size = 0;
    ::GetKernelObjectSecurity(directory, OWNER_SECURITY_INFORMATION, nullptr, 0, &size);
    std::vector<BYTE> descriptor(size);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (size == 0 ||
        !::GetKernelObjectSecurity(directory, OWNER_SECURITY_INFORMATION, descriptor.data(), size, &size) ||
        !::GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) || owner == nullptr)
        return false;
    return sid_is(owner, WinBuiltinAdministratorsSid) || sid_is(owner, WinLocalSystemSid) ||
           sid_is_running_user(owner);
}

// Sets the private access list on the directory itself (not passed on to what it holds, which
// could lead elsewhere), and Administrators as its owner where the running user may give it
// them. Without that, the owner must be someone the launcher trusts.
bool secure_directory(const std::wstring& path) {
    const security_descriptor with_owner = descriptor_from(private_owner_and_access);
    const security_descriptor access_only = descriptor_from(private_access);
    if (!with_owner || !access_only)
        return false;
    constexpr DWORD access_information = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    for (const DWORD access : {READ_CONTROL | WRITE_DAC | WRITE_OWNER, READ_CONTROL | WRITE_DAC}) {
        const unique_handle directory(open_entry(path, access | FILE_READ_ATTRIBUTES,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                                 FILE_FLAG_BACKUP_SEMANTICS));
        if (!directory.valid())
            continue;
        const DWORD attributes = attributes_of(directory.get(), path);
        if (attributes == 0 || is_link(attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return false;
        if ((access & WRITE_OWNER) != 0 &&
            ::SetKernelObjectSecurity(directory.get(), OWNER_SECURITY_INFORMATION | access_information,
                                      with_owner.get()))
            return true;
        if (::SetKernelObjectSecurity(directory.get(), access_information, access_only.get()))
            return owner_trusted(directory.get());
    }
    return false;
}

} // namespace

std::uint32_t link_refused_error() {
    return error_stopped_on_symlink;
}

bool held_file::move_over(const std::wstring& target) {
    const auto to = open_parent(root_, target);
    return to && rename_through(reinterpret_cast<HANDLE>(file_.native_handle()), to->path);
}

file_handle guarded_tree::create_write(const std::wstring& path) const {
    const auto parent = open_parent(root_, path);
    if (!parent)
        return file_handle::failed(::GetLastError());
    // Read back and renamed through this handle when it is held to be placed.
    unique_handle file(
        open_entry(parent->path, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, OPEN_ALWAYS));
    if (!file.valid())
        return file_handle::failed(::GetLastError());
    // Emptied only once it is known to be a plain file of its own.
    if (const DWORD error = plain_file_error(file.get(), parent->path))
        return file_handle::failed(error);
    if (!::SetEndOfFile(file.get()))
        return file_handle::failed(::GetLastError());
    return file_handle::adopt(reinterpret_cast<std::intptr_t>(file.release()));
}

file_handle guarded_tree::continue_write(const std::wstring& path, std::uint64_t length) const {
    const auto parent = open_parent(root_, path);
    if (!parent)
        return file_handle::failed(::GetLastError());
    unique_handle file(open_entry(parent->path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING));
    if (!file.valid())
        return file_handle::failed(::GetLastError());
    if (const DWORD error = plain_file_error(file.get(), parent->path))
        return file_handle::failed(error);
    LARGE_INTEGER size{};
    LARGE_INTEGER offset{};
    offset.QuadPart = static_cast<LONGLONG>(length);
    // A shorter file would be lengthened with bytes that were never received.
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart < offset.QuadPart)
        return file_handle::failed(ERROR_HANDLE_EOF);
    if (!::SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN) || !::SetEndOfFile(file.get()))
        return file_handle::failed(::GetLastError());
    return file_handle::adopt(reinterpret_cast<std::intptr_t>(file.release()));
}

held_file guarded_tree::hold_written(file_handle written, const std::wstring& path) const {
    held_file held;
    held.root_ = root_;
    held.path_ = path;
    const LARGE_INTEGER start{};
    if (written.is_open() &&
        !::SetFilePointerEx(reinterpret_cast<HANDLE>(written.native_handle()), start, nullptr, FILE_BEGIN))
        held.file_ = file_handle::failed(::GetLastError());
    else
        held.file_ = std::move(written);
    return held;
}

held_file guarded_tree::open_to_place(const std::wstring& path) const {
    held_file held;
    held.root_ = root_;
    held.path_ = path;
    const auto parent = open_parent(root_, path);
    if (!parent) {
        held.file_ = file_handle::failed(::GetLastError());
        return held;
    }
    // Read sharing only: from now on nobody may write, rename or delete the file, and the
    // open fails while someone still holds it for writing.
    unique_handle file(open_entry(parent->path, GENERIC_READ | DELETE, FILE_SHARE_READ, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN));
    DWORD error = file.valid() ? plain_file_error(file.get(), parent->path) : ::GetLastError();
    held.file_ = error == 0 ? file_handle::adopt(reinterpret_cast<std::intptr_t>(file.release()))
                            : file_handle::failed(error);
    return held;
}

bool guarded_tree::move_replace(const std::wstring& from, const std::wstring& to) const {
    const auto source = open_parent(root_, from);
    const auto target = open_parent(root_, to);
    if (!source || !target)
        return false;
    // The sharing a plain rename asks for: a running program's own file may move too.
    const unique_handle file(open_entry(source->path, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        OPEN_EXISTING));
    if (!file.valid())
        return false;
    const DWORD attributes = attributes_of(file.get(), source->path);
    if (attributes == 0 || is_link(attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;
    return rename_through(file.get(), target->path);
}

bool guarded_tree::delete_file(const std::wstring& path) const {
    const auto parent = open_parent(root_, path);
    if (!parent)
        return false;
    const DWORD attributes = ::GetFileAttributesW(parent->path.c_str());
    // A directory goes only through remove_directory, as with the plain delete.
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           delete_entry(parent->path, attributes);
}

bool guarded_tree::create_directories(const std::wstring& path) const {
    // Without a root only the last name is guarded: what lies above it is made as the system
    // resolves it.
    if (root_.empty() && !qz4::create_directories(parent_directory(path)))
        return false;
    if (path == root_)
        return is_directory(path);
    const std::wstring root = root_for(root_, path);
    const auto names = names_below(root, path);
    return names && walk_down(root, *names, names->size(), missing_directories::create).has_value();
}

bool guarded_tree::remove_directory(const std::wstring& path, bool allow_files) const {
    const auto parent = open_parent(root_, path);
    if (!parent)
        return is_missing(::GetLastError());
    const DWORD attributes = ::GetFileAttributesW(parent->path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    // A link where the directory should be goes itself; what it leads to is not looked at.
    if (is_link(attributes))
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                   ? ::RemoveDirectoryW(parent->path.c_str()) != FALSE
                   : delete_entry(parent->path, attributes);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return false;
    unique_handle self = pin_directory(parent->path);
    if (!self.valid() || !remove_contents(parent->path, allow_files))
        return false;
    self.reset();
    ::RemoveDirectoryW(parent->path.c_str());
    return true;
}

bool guarded_tree::mark_executable(const std::wstring& path) const {
    // Windows runs a file by its name; there is no bit to set.
    const auto parent = open_parent(root_, path);
    if (!parent)
        return false;
    const DWORD attributes = ::GetFileAttributesW(parent->path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !is_link(attributes) &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool guarded_tree::create_private_directory(const std::wstring& path) const {
    const auto parent = open_parent(root_, path);
    if (!parent)
        return false;
    const std::wstring& full = parent->path;
    DWORD attributes = ::GetFileAttributesW(full.c_str());
    if (is_link(attributes)) {
        // The link goes, never what it leads to, and the folder is made in its place.
        const bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                                 ? ::RemoveDirectoryW(full.c_str()) != FALSE
                                 : delete_entry(full, attributes);
        if (!removed)
            return false;
        attributes = INVALID_FILE_ATTRIBUTES;
    } else if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return false;
    }
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const security_descriptor access_only = descriptor_from(private_access);
        SECURITY_ATTRIBUTES security{sizeof security, access_only.get(), FALSE};
        if (!::CreateDirectoryW(full.c_str(), access_only ? &security : nullptr) &&
            ::GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return secure_directory(full);
}

} // namespace qz4
