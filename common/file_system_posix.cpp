// POSIX primitives of the file-system layer. Paths arrive in wide Windows form and are
// translated once, here, at the system-call boundary.
#include "common/file_system.hpp"

#include "common/encoding.hpp"
#include "common/file_handle.hpp"
#include "common/file_time_posix.hpp"
#include "common/native_path_posix.hpp"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace qz4 {

std::optional<file_attributes> read_file_attributes(const std::wstring& path) {
    const std::string native = to_native_path(path);
    struct stat link_info {};
    if (::lstat(native.c_str(), &link_info) != 0)
        return std::nullopt;
    file_attributes attributes;
    attributes.reparse_point = S_ISLNK(link_info.st_mode);
    struct stat info {};
    if (::stat(native.c_str(), &info) == 0)
        attributes.directory = S_ISDIR(info.st_mode);
    return attributes;
}

namespace {

// The kind readdir gives saves a stat per entry on a large tree. A link is reported as one,
// whatever it leads to, and never followed.
entry_kind entry_kind_of(const dirent* item, const std::string& directory) {
    switch (item->d_type) {
    case DT_REG:
        return entry_kind::file;
    case DT_DIR:
        return entry_kind::directory;
    case DT_LNK:
        return entry_kind::link;
    case DT_UNKNOWN:
        break;
    default:
        return entry_kind::other;
    }
    struct stat info {};
    const std::string full = directory + "/" + item->d_name;
    if (::lstat(full.c_str(), &info) != 0)
        return entry_kind::other; // gone meanwhile: nothing to list
    if (S_ISLNK(info.st_mode))
        return entry_kind::link;
    if (S_ISDIR(info.st_mode))
        return entry_kind::directory;
    return S_ISREG(info.st_mode) ? entry_kind::file : entry_kind::other;
}

} // namespace

std::optional<std::vector<directory_entry>> find_entries(const std::wstring& directory,
                                                         std::wstring_view pattern) {
    const std::string native = to_native_path(directory);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(native.c_str()), &::closedir);
    if (!dir)
        return std::nullopt;
    std::vector<directory_entry> entries;
    while (const dirent* item = ::readdir(dir.get())) {
        const std::string_view name(item->d_name);
        if (name == "." || name == "..")
            continue;
        directory_entry entry;
        // A name is one component: its bytes convert as they are (a backslash stays one, for
        // the name check to refuse). Valid UTF-8 converts back to the same bytes; anything
        // else came out with U+FFFD.
        entry.name = utf8_to_wide(name);
        entry.name_not_utf8 = wide_to_utf8(entry.name) != name;
        if (!name_matches_pattern(entry.name, pattern))
            continue;
        entry.kind = entry_kind_of(item, native);
        entries.push_back(std::move(entry));
    }
    // readdir's order depends on the file system's hashing; name order keeps listings (and
    // so the patch maker's index) the same from run to run and machine to machine.
    std::sort(entries.begin(), entries.end(),
              [](const directory_entry& a, const directory_entry& b) { return a.name < b.name; });
    return entries;
}

std::optional<std::uint64_t> stat_file_size(const std::wstring& path) {
    struct stat info {};
    if (::stat(to_native_path(path).c_str(), &info) != 0 || S_ISDIR(info.st_mode))
        return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

std::optional<plain_file_status> stat_plain_file(const std::wstring& path) {
    struct stat info {};
    if (::lstat(to_native_path(path).c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    // The same units as file_handle::last_write_time, so that either may stamp a file.
    return plain_file_status{static_cast<std::uint64_t>(info.st_size), windows_file_time(info.st_mtim)};
}

std::optional<std::uint64_t> free_disk_space(const std::wstring& directory) {
    struct statvfs info {};
    if (::statvfs(to_native_path(directory).c_str(), &info) != 0)
        return std::nullopt;
    // f_bavail leaves out the blocks reserved for root; the fragment size is their unit
    // (f_bsize is only the preferred transfer size, and may differ).
    const std::uint64_t unit = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
    return static_cast<std::uint64_t>(info.f_bavail) * unit;
}

bool make_directory(const std::wstring& path) {
    return ::mkdir(to_native_path(path).c_str(), 0777) == 0;
}

bool remove_empty_directory(const std::wstring& path) {
    return ::rmdir(to_native_path(path).c_str()) == 0;
}

bool delete_file_now(const std::wstring& path) {
    // unlink refuses directories, as the Windows delete-on-close open does.
    return ::unlink(to_native_path(path).c_str()) == 0;
}

std::wstring module_path() {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0)
            return {};
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            return from_native_path(buffer);
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool set_hidden_attribute(const std::wstring& path) {
    // Names that start with a dot are hidden already; nothing to record.
    return read_file_attributes(path).has_value();
}

bool move_file_replace(const std::wstring& from, const std::wstring& to) {
    const std::string source = to_native_path(from);
    struct stat info {};
    // rename() would also move directories; the Windows call this stands for moves files here.
    if (::stat(source.c_str(), &info) != 0 || S_ISDIR(info.st_mode))
        return false;
    return ::rename(source.c_str(), to_native_path(to).c_str()) == 0;
}

bool mark_executable(const std::wstring& path) {
    const std::string native = to_native_path(path);
    struct stat info {};
    if (::stat(native.c_str(), &info) != 0)
        return false;
    // Execute where read is allowed, as "chmod +x" under the usual umask would give.
    const mode_t readers = info.st_mode & (S_IRUSR | S_IRGRP | S_IROTH);
    return ::chmod(native.c_str(), (info.st_mode & 07777) | (readers >> 2)) == 0;
}

bool copy_file_overwrite(const std::wstring& from, const std::wstring& to) {
    file_handle source = file_handle::open_read(from);
    if (!source.is_open())
        return false;
    file_handle target = file_handle::create_write(to);
    if (!target.is_open())
        return false;
    std::vector<std::uint8_t> chunk(1 << 20);
    bool ok = true;
    for (;;) {
        const auto got = source.read_some(chunk.data(), chunk.size());
        if (!got) {
            ok = false;
            break;
        }
        if (*got == 0)
            break;
        if (!write_fully(target, chunk.data(), *got)) {
            ok = false;
            break;
        }
    }
    target.close();
    if (!ok) {
        delete_file_now(to); // never leave half a copy behind
        return false;
    }
    // Like the Windows copy, the copy keeps the source's last-write time.
    struct stat info {};
    if (::stat(to_native_path(from).c_str(), &info) == 0) {
        const struct timespec times[2] = {info.st_atim, info.st_mtim};
        ::utimensat(AT_FDCWD, to_native_path(to).c_str(), times, 0);
    }
    return true;
}

} // namespace qz4
