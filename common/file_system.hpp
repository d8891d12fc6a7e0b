// File and directory operations on wide Windows-form paths. Failures are reported by the
// result only (false, 0 or an empty list). The portable algorithms live in file_system.cpp;
// each operating system implements the primitives at the bottom in its own file.
#pragma once

#include "common/byte_buffer.hpp"
#include "common/portable_names.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qz4 {

// The file's size; 0 when it cannot be opened or sized.
[[nodiscard]] std::uint64_t file_size(const std::wstring& path);

// Without a buffer stores the size in count. With one reads min(count, size) bytes from the
// start and succeeds only if exactly that many arrived (count is then the buffer's length).
[[nodiscard]] bool read_file_part(const std::wstring& path, std::uint8_t* buffer, std::uint64_t& count);

// The whole file into the buffer (length = bytes read, position = 0). False when the file
// cannot be opened, is empty or cannot be read.
[[nodiscard]] bool read_file_bytes(const std::wstring& path, byte_buffer& buffer);

[[nodiscard]] bool is_regular_file(const std::wstring& path);
[[nodiscard]] bool is_directory(const std::wstring& path);

// Deletes at once, also a file that others hold open with delete sharing (Windows). A link
// is deleted itself, never what it leads to.
bool delete_file_now(const std::wstring& path);

// Creates the directory and its missing parents. An existing directory (or reparse point)
// gives true; an existing file of that name gives false.
bool create_directories(const std::wstring& path);

// Removes a directory. Files are deleted at its top level only, and only when allowed;
// any file further down makes it fail (what was deleted stays deleted).
bool remove_directory(const std::wstring& path, bool allow_files);

// The walks below list files and enter directories only. A link (POSIX symbolic link,
// Windows symbolic link, junction or any other reparse point) is neither listed nor entered,
// wherever it leads: a walk stays inside the tree it was given and cannot loop. A name that
// Windows cannot hold (portable_names.hpp) is neither listed nor entered either: joined to
// its directory, it would name another file. The directory a walk starts from may itself be
// reached through a link.

// Full paths of the subdirectories, depth-first pre-order when recursive.
[[nodiscard]] std::vector<std::wstring> list_directories(const std::wstring& directory, bool recursive);

struct refused_name {
    std::wstring directory; // full path
    std::wstring name;      // as the system gave it (POSIX: U+FFFD for bytes that are not UTF-8)
    name_fault fault = name_fault::none;
};

// What a file listing passed over, for the caller to report or to deal with.
struct passed_over_entries {
    std::vector<std::wstring> links;   // matching the pattern, or directories
    std::vector<std::wstring> others;  // neither file, directory nor link: pipes, sockets, devices
    std::vector<refused_name> refused; // files matching the pattern, and directories
};

// Full paths of the files matching the pattern ("*" and "?" wildcards, letter case ignored,
// "*.*" matches every name): the directory's own files first, then each subdirectory's, in
// the order of list_directories. What is passed over is listed in `passed_over` when given.
[[nodiscard]] std::vector<std::wstring> list_files(const std::wstring& directory, bool recursive,
                                                   std::wstring_view pattern,
                                                   passed_over_entries* passed_over = nullptr);

// Full path of the running executable, and its directory.
[[nodiscard]] std::wstring module_path();
[[nodiscard]] std::wstring module_directory();

// Marks a file or directory hidden (a no-op where names starting with a dot are hidden).
bool set_hidden_attribute(const std::wstring& path);

// Renames, replacing an existing destination on the same volume.
[[nodiscard]] bool move_file_replace(const std::wstring& from, const std::wstring& to);

// Lets whoever may read the file also run it (POSIX, where the update formats carry no file
// modes); a no-op on Windows, where the name decides.
bool mark_executable(const std::wstring& path);

// Copies, overwriting an existing destination.
[[nodiscard]] bool copy_file_overwrite(const std::wstring& from, const std::wstring& to);

// --- Primitives implemented once per operating system ---------------------------------

struct file_attributes {
    bool directory = false;
    bool reparse_point = false;
};
[[nodiscard]] std::optional<file_attributes> read_file_attributes(const std::wstring& path);

enum class entry_kind { file, directory, link, other };
struct directory_entry {
    std::wstring name;
    entry_kind kind = entry_kind::file;
    // POSIX: the name's bytes are not UTF-8, so `name` (with U+FFFD in their place) is not
    // the entry's name and must not be used to reach it.
    bool name_not_utf8 = false;
};
// The kind of an entry a Windows directory search shows with these attribute bits.
inline constexpr std::uint32_t windows_attribute_directory = 0x10;
inline constexpr std::uint32_t windows_attribute_reparse_point = 0x400;
[[nodiscard]] entry_kind entry_kind_of_windows_attributes(std::uint32_t attributes);

// Entries of one directory whose names match the pattern, without "." and "..", links
// reported as links and never followed; nullopt when the search cannot start.
[[nodiscard]] std::optional<std::vector<directory_entry>> find_entries(const std::wstring& directory,
                                                                       std::wstring_view pattern);

[[nodiscard]] bool make_directory(const std::wstring& path);
bool remove_empty_directory(const std::wstring& path);

// The size of a regular file as the system keeps it beside the name, without opening the
// file: cheap enough to ask for every file of a large tree. Nullopt when there is no such
// file, or a directory. POSIX follows links; a Windows link answers for itself.
[[nodiscard]] std::optional<std::uint64_t> stat_file_size(const std::wstring& path);

// A plain file's size and last-write time (Windows file-time units) from one call, without
// opening the file: what tells a large tree's unchanged files apart cheaply. Nullopt for
// anything but a plain file; a link at the name is never followed and gives nullopt.
struct plain_file_status {
    std::uint64_t size = 0;
    std::uint64_t write_time = 0;
    friend bool operator==(const plain_file_status&, const plain_file_status&) = default;
};
[[nodiscard]] std::optional<plain_file_status> stat_plain_file(const std::wstring& path);

// The bytes this process may still write on the volume that holds `directory` (quotas and a
// reserve for the administrator taken off); nullopt when the system does not say.
[[nodiscard]] std::optional<std::uint64_t> free_disk_space(const std::wstring& directory);

// The wildcard rule that find_entries applies, shared so every platform agrees.
[[nodiscard]] bool name_matches_pattern(std::wstring_view name, std::wstring_view pattern);

} // namespace qz4
