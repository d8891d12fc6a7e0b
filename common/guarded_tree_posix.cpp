// POSIX: the tree is walked one name at a time from a descriptor of the root, each directory
// opened with O_NOFOLLOW relative to the one before (openat), and every change made relative
// to the descriptor of the directory that holds the name (renameat, unlinkat, mkdirat). A link
// swapped in after a name was checked is never followed: no path below the root is resolved
// by the system again. Opens that might meet a FIFO do not block (O_NONBLOCK).
#include "common/guarded_tree.hpp"

#include "common/file_system.hpp"
#include "common/native_path_posix.hpp"
#include "common/paths.hpp"
#include "common/system_call_posix.hpp"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace qz4 {

namespace {

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;

    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    [[nodiscard]] int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

constexpr mode_t private_directory_mode = 0755;
// Files are made writable by their owner only, whatever the umask: a file that others may
// write could change between the check of its digest and its rename into place.
constexpr mode_t created_file_mode = 0644;

unique_fd open_at(int directory, const std::string& name, int flags) {
    return unique_fd(retry_interrupted([&] { return ::openat(directory, name.c_str(), flags | O_CLOEXEC); }));
}

// Why opening a directory failed: a link where a directory was expected says so.
int directory_error(int directory, const std::string& name) {
    const int error = errno;
    struct stat info {};
    if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode))
        return ELOOP;
    return error;
}

enum class missing_directories { refuse, create };

// The directory reached by walking `count` of `names` down from `root`, creating missing ones
// when asked. Invalid with errno set when a name is a link or not a directory.
unique_fd walk_down(const std::wstring& root, const std::vector<std::wstring>& names, std::size_t count,
                    missing_directories missing) {
    unique_fd directory = unique_fd(retry_interrupted(
        [&] { return ::open(to_native_path(root).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    for (std::size_t i = 0; i < count && directory.valid(); ++i) {
        const std::string name = to_native_path(names[i]);
        constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW;
        unique_fd next = open_at(directory.get(), name, flags);
        if (!next.valid() && errno == ENOENT && missing == missing_directories::create) {
            // Another thread may make it at the same moment: either way it is there now.
            if (::mkdirat(directory.get(), name.c_str(), 0777) == 0 || errno == EEXIST)
                next = open_at(directory.get(), name, flags);
        }
        if (!next.valid()) {
            errno = directory_error(directory.get(), name);
            return next;
        }
        directory = std::move(next);
    }
    return directory;
}

// The directory that holds a path's last name, and that name.
struct parent_entry {
    unique_fd directory;
    std::string name;
};

std::wstring root_for(const std::wstring& root, const std::wstring& path) {
    return root.empty() ? parent_directory(path) : root;
}

std::optional<parent_entry> open_parent(const std::wstring& root_setting, const std::wstring& path,
                                        missing_directories missing = missing_directories::refuse) {
    const std::wstring root = root_for(root_setting, path);
    const auto names = names_below(root, path);
    if (!names) {
        errno = EINVAL;
        return std::nullopt;
    }
    unique_fd directory = walk_down(root, *names, names->size() - 1, missing);
    if (!directory.valid())
        return std::nullopt;
    return parent_entry{std::move(directory), to_native_path(names->back())};
}

std::optional<struct stat> stat_entry(const parent_entry& entry) {
    struct stat info {};
    if (::fstatat(entry.directory.get(), entry.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return info;
}

enum class ownership { any, running_user };

// 0 when the open file is one the launcher may write or place; otherwise why not.
int plain_file_error(int fd, ownership owner) {
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return errno;
    if (!S_ISREG(info.st_mode))
        return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    if (info.st_nlink != 1)
        return EMLINK;
    if (owner == ownership::running_user &&
        (info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0))
        return EPERM;
    return 0;
}

// Opens the last name of `path` as a plain file without following a link there; the
// descriptor blocks again once it is known not to be a FIFO.
file_handle open_plain_file(const std::wstring& root, const std::wstring& path, int flags, ownership owner) {
    const auto parent = open_parent(root, path);
    if (!parent)
        return file_handle::failed(static_cast<std::uint32_t>(errno));
    unique_fd fd(retry_interrupted([&] {
        return ::openat(parent->directory.get(), parent->name.c_str(),
                        flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, created_file_mode);
    }));
    if (!fd.valid())
        return file_handle::failed(static_cast<std::uint32_t>(errno));
    int error = plain_file_error(fd.get(), owner);
    if (error == 0) {
        const int status = ::fcntl(fd.get(), F_GETFL);
        if (status == -1 || ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) == -1)
            error = errno;
    }
    if (error != 0)
        return file_handle::failed(static_cast<std::uint32_t>(error));
    return file_handle::adopt(fd.release());
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Deletes what a directory holds. Links and everything else that is not a directory count
// as files, and are removed themselves, never followed.
bool remove_contents(int directory, bool allow_files) {
    unique_fd listing_fd(::dup(directory));
    if (!listing_fd.valid())
        return false;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(listing_fd.get()), &::closedir);
    if (!listing)
        return false;
    listing_fd.release();
    std::vector<std::string> files;
    std::vector<std::string> subdirectories;
    while (const dirent* item = ::readdir(listing.get())) {
        const std::string name(item->d_name);
        if (name == "." || name == "..")
            continue;
        struct stat info {};
        const bool is_directory =
            ::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
        (is_directory ? subdirectories : files).push_back(name);
    }
    if (!files.empty()) {
        if (!allow_files)
            return false;
        for (const auto& name : files)
            ::unlinkat(directory, name.c_str(), 0);
    }
    for (const auto& name : subdirectories) {
        const unique_fd below = open_at(directory, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        if (!below.valid() || !remove_contents(below.get(), false))
            return false;
        ::unlinkat(directory, name.c_str(), AT_REMOVEDIR);
    }
    return true;
}

} // namespace

std::uint32_t link_refused_error() {
    return ELOOP;
}

bool held_file::move_over(const std::wstring& target) {
    const auto from = open_parent(root_, path_);
    const auto to = open_parent(root_, target);
    if (!from || !to)
        return false;
    // Nothing else holds the file's name while it is read: the name must still lead to the
    // file read, else another file would be moved in its place.
    struct stat held {};
    const auto named = stat_entry(*from);
    if (!named || ::fstat(static_cast<int>(file_.native_handle()), &held) != 0 || !same_file(*named, held))
        return false;
    return ::renameat(from->directory.get(), from->name.c_str(), to->directory.get(), to->name.c_str()) == 0;
}

file_handle guarded_tree::create_write(const std::wstring& path) const {
    file_handle file = open_plain_file(root_, path, O_RDWR | O_CREAT, ownership::running_user);
    if (file.is_open() &&
        retry_interrupted([&] { return ::ftruncate(static_cast<int>(file.native_handle()), 0); }) != 0) {
        const auto error = static_cast<std::uint32_t>(errno);
        return file_handle::failed(error);
    }
    return file;
}

file_handle guarded_tree::continue_write(const std::wstring& path, std::uint64_t length) const {
    file_handle file = open_plain_file(root_, path, O_WRONLY, ownership::running_user);
    if (!file.is_open())
        return file;
    const int fd = static_cast<int>(file.native_handle());
    const auto offset = static_cast<off_t>(length);
    const auto size = file.size();
    int error = 0;
    if (!size || *size < length)
        error = EINVAL; // a shorter file would be lengthened with zeros never received
    else if (retry_interrupted([&] { return ::ftruncate(fd, offset); }) != 0 ||
             ::lseek(fd, offset, SEEK_SET) != offset)
        error = errno;
    if (error != 0)
        return file_handle::failed(static_cast<std::uint32_t>(error));
    return file;
}

held_file guarded_tree::hold_written(file_handle written, const std::wstring& path) const {
    held_file held;
    held.root_ = root_;
    held.path_ = path;
    if (written.is_open() && ::lseek(static_cast<int>(written.native_handle()), 0, SEEK_SET) != 0)
        held.file_ = file_handle::failed(static_cast<std::uint32_t>(errno));
    else
        held.file_ = std::move(written);
    return held;
}

held_file guarded_tree::open_to_place(const std::wstring& path) const {
    held_file held;
    held.file_ = open_plain_file(root_, path, O_RDONLY, ownership::running_user);
    held.root_ = root_;
    held.path_ = path;
    return held;
}

bool guarded_tree::move_replace(const std::wstring& from, const std::wstring& to) const {
    const auto source = open_parent(root_, from);
    const auto target = open_parent(root_, to);
    if (!source || !target)
        return false;
    const auto info = stat_entry(*source);
    if (!info || !S_ISREG(info->st_mode))
        return false;
    return ::renameat(source->directory.get(), source->name.c_str(), target->directory.get(),
                      target->name.c_str()) == 0;
}

bool guarded_tree::delete_file(const std::wstring& path) const {
    const auto parent = open_parent(root_, path);
    // unlinkat without AT_REMOVEDIR refuses directories, as the Windows delete does.
    return parent && ::unlinkat(parent->directory.get(), parent->name.c_str(), 0) == 0;
}

bool guarded_tree::create_directories(const std::wstring& path) const {
    // Without a root only the last name is guarded: what lies above it is made as the system
    // resolves it.
    if (root_.empty() && !qz4::create_directories(parent_directory(path)))
        return false;
    if (path == root_)
        return is_directory(path);
    const auto parent = open_parent(root_, path, missing_directories::create);
    if (!parent)
        return false;
    if (::mkdirat(parent->directory.get(), parent->name.c_str(), 0777) != 0 && errno != EEXIST)
        return false;
    const auto info = stat_entry(*parent);
    return info && S_ISDIR(info->st_mode);
}

bool guarded_tree::remove_directory(const std::wstring& path, bool allow_files) const {
    const auto parent = open_parent(root_, path);
    if (!parent)
        return errno == ENOENT;
    const auto info = stat_entry(*parent);
    if (!info)
        return errno == ENOENT;
    const int directory = parent->directory.get();
    const char* name = parent->name.c_str();
    // A link where the directory should be goes itself; what it leads to is not looked at.
    if (!S_ISDIR(info->st_mode))
        return S_ISLNK(info->st_mode) && ::unlinkat(directory, name, 0) == 0;
    const unique_fd self = open_at(directory, parent->name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (!self.valid() || !remove_contents(self.get(), allow_files))
        return false;
    ::unlinkat(directory, name, AT_REMOVEDIR);
    return true;
}

bool guarded_tree::mark_executable(const std::wstring& path) const {
    file_handle file = open_plain_file(root_, path, O_RDONLY, ownership::any);
    struct stat info {};
    if (!file.is_open() || ::fstat(static_cast<int>(file.native_handle()), &info) != 0)
        return false;
    // Execute where read is allowed, as "chmod +x" under the usual umask would give.
    const mode_t readers = info.st_mode & (S_IRUSR | S_IRGRP | S_IROTH);
    return ::fchmod(static_cast<int>(file.native_handle()), (info.st_mode & 07777) | (readers >> 2)) == 0;
}

bool guarded_tree::create_private_directory(const std::wstring& path) const {
    const auto parent = open_parent(root_, path);
    if (!parent)
        return false;
    const int directory = parent->directory.get();
    const char* name = parent->name.c_str();
    if (const auto info = stat_entry(*parent); info && !S_ISDIR(info->st_mode)) {
        // A link goes, and the directory is made in its place; anything else is in the way.
        if (!S_ISLNK(info->st_mode) || ::unlinkat(directory, name, 0) != 0)
            return false;
    }
    if (::mkdirat(directory, name, private_directory_mode) != 0 && errno != EEXIST)
        return false;
    const unique_fd self = open_at(directory, parent->name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    struct stat info {};
    if (!self.valid() || ::fstat(self.get(), &info) != 0)
        return false;
    // Another user's directory could hold anything that user chose; it is not used.
    if (info.st_uid != ::geteuid()) {
        errno = EPERM;
        return false;
    }
    return (info.st_mode & 07777) == private_directory_mode ||
           ::fchmod(self.get(), private_directory_mode) == 0;
}

} // namespace qz4
