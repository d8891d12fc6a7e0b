// The files below one directory, the game's, changed without ever passing through a link
// below it (a POSIX symbolic link; a Windows junction, symbolic link or other reparse point).
// A user who may write in the game's folder must not be able to lead changes made with
// administrator rights to files elsewhere: deleting the files of another folder through a
// junction planted in the download area, or writing through a link where an unpacked copy
// goes. The directory itself and the ones above it are the player's choice and are taken as
// the system resolves them. The portable part (which names lie below the root) is here and in
// guarded_tree.cpp; the operations are implemented once per operating system.
#pragma once

#include "common/file_handle.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qz4 {

// The system error a refused link gives (ELOOP; ERROR_STOPPED_ON_SYMLINK on Windows).
[[nodiscard]] std::uint32_t link_refused_error();

// The names from `root` down to `path`, in order (the last is the path's own name); nullopt
// when `path` does not lie strictly below `root`, or one of its names is "." or "..", which
// could lead back out. Separators are backslashes and slashes; empty names are skipped, as
// the system skips them.
[[nodiscard]] std::optional<std::vector<std::wstring>> names_below(std::wstring_view root,
                                                                   std::wstring_view path);

// A file held open so that the bytes read through it are the bytes moved into place. On
// Windows nobody else may write, rename or delete it while it is held, and the move goes
// through the handle itself; on POSIX the move is refused unless the name still holds the
// file that was read.
class held_file {
public:
    held_file() = default;
    held_file(held_file&&) noexcept = default;
    held_file& operator=(held_file&&) noexcept = default;
    held_file(const held_file&) = delete;
    held_file& operator=(const held_file&) = delete;

    [[nodiscard]] bool is_open() const { return file_.is_open(); }
    [[nodiscard]] std::uint32_t open_error() const { return file_.open_error(); }
    [[nodiscard]] std::optional<std::size_t> read_some(void* buffer, std::size_t size) {
        return file_.read_some(buffer, size);
    }
    // Renames the file over `target`, which must lie below the same root and is replaced when
    // it exists. The file stays open (and held) until close().
    [[nodiscard]] bool move_over(const std::wstring& target);
    void close() { file_.close(); }

private:
    friend class guarded_tree;
    file_handle file_;
    std::wstring root_;
    std::wstring path_;
};

// Every operation refuses a path that does not lie below the root, and fails when a name on
// the way down from the root is a link. Where the last name is a link, an operation on that
// name itself works on the link and never on what it leads to: a delete or a directory
// removal removes the link, a rename over it replaces the link; opening it is refused.
// Files opened for writing must be plain files of one name only: a second name (a hard link)
// would let whoever made it watch or change what the launcher writes.
class guarded_tree {
public:
    // An empty root guards only the last name of each path; the directories above it are
    // taken as the system resolves them (tools and tests that work on trees they made).
    explicit guarded_tree(std::wstring root) : root_(std::move(root)) {}

    [[nodiscard]] const std::wstring& root() const { return root_; }

    // Created or emptied, for writing (and reading back); other openers may read. Files it
    // creates may be written by the running user only. On Windows nobody else may write,
    // rename or delete the file while it is open, as with a held_file.
    [[nodiscard]] file_handle create_write(const std::wstring& path) const;
    // The file create_write opened at `path`, with everything written through it, held as
    // open_to_place holds a file: reads start at its beginning, and the bytes written are
    // the bytes move_over puts in place. Not open when the handle cannot be rewound.
    [[nodiscard]] held_file hold_written(file_handle written, const std::wstring& path) const;
    // An existing file of at least `length` bytes, for writing on after its first `length`
    // bytes (anything beyond them is cut off).
    [[nodiscard]] file_handle continue_write(const std::wstring& path, std::uint64_t length) const;
    // An existing plain file of the running user's, held for reading and moving.
    [[nodiscard]] held_file open_to_place(const std::wstring& path) const;
    // Renames a plain file (never a link or a directory), replacing an existing destination.
    [[nodiscard]] bool move_replace(const std::wstring& from, const std::wstring& to) const;
    // No effect (and false) when nothing is there.
    bool delete_file(const std::wstring& path) const;
    // The directory and its missing parents below the root; the root itself when it is one.
    bool create_directories(const std::wstring& path) const;
    // Files at its top level are deleted only when allowed; a file further down makes it fail
    // (what was deleted stays deleted). A link, wherever it is, counts as a file. A directory
    // that is not there gives true.
    bool remove_directory(const std::wstring& path, bool allow_files) const;
    // Lets whoever may read the file also run it (POSIX); on Windows only checks it is a file.
    bool mark_executable(const std::wstring& path) const;
    // A directory (its parent must exist) that only the system and administrators may change
    // (POSIX: the running user, mode 0755). A link at its name is removed and the directory
    // made anew; an existing directory is secured again, and refused when that cannot be done
    // or (POSIX) it belongs to another user.
    bool create_private_directory(const std::wstring& path) const;

private:
    std::wstring root_;
};

} // namespace qz4
