// Every change the update engine makes to the disk goes through one table of operations:
// creating and writing files, renaming, deleting, creating and removing directories, and
// marking programs executable, and flushing what was written to the disk. Tests put a table of their own in
// its place to refuse a rename, fill the disk or cut a write short at the call of their choosing.
#pragma once

#include "common/byte_sink.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace qz4 {

// A file being written. Destroying it without finish() closes it as it is.
class output_file : public byte_sink {
public:
    virtual ~output_file() = default;
    // Closes the file; false when some of what was written may not have reached it.
    [[nodiscard]] virtual bool finish() = 0;

protected:
    output_file() = default;
};

class file_operations {
public:
    virtual ~file_operations() = default;

    // Created or truncated; null on failure, with `error` set to the system's error number.
    [[nodiscard]] virtual std::unique_ptr<output_file> create_file(const std::wstring& path,
                                                                   std::uint32_t& error) = 0;
    // Renames a file, replacing an existing destination on the same volume.
    [[nodiscard]] virtual bool move_replace(const std::wstring& from, const std::wstring& to) = 0;
    // No effect (and false) when the file is missing.
    virtual bool delete_file(const std::wstring& path) = 0;
    virtual bool create_directories(const std::wstring& path) = 0;
    // Files are deleted at its top level only, and only when allowed.
    virtual bool remove_directory(const std::wstring& path, bool allow_files) = 0;
    virtual bool mark_executable(const std::wstring& path) = 0;
    // Puts the data of every file written through the table since the last call (wherever a
    // rename has taken it since) on the disk itself, not only in the system's cache. A file
    // is recorded in the cache, or a new launcher swapped in, only after this: a power cut
    // must never leave a file the cache vouches for with data the system had not written.
    // False when that cannot be confirmed.
    [[nodiscard]] virtual bool flush_written_files() = 0;

protected:
    file_operations() = default;
    file_operations(const file_operations&) = default;
    file_operations& operator=(const file_operations&) = default;
};

// The operating system's own, through the common file-system layer. One per process,
// stateless, usable from every thread.
[[nodiscard]] file_operations& system_file_operations();

} // namespace qz4
