// Every change the update engine makes to the disk goes through one table of operations:
// creating and writing files, putting checked files in place, renaming, deleting, creating
// and removing directories, making the private work area, marking programs executable and
// flushing them to disk; and the room the disk has left. Tests put a table of their own in
// its place to refuse a rename, fill the disk or cut a write short at the call of their
// choosing.
#pragma once

#include "common/byte_sink.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qz4 {

// An existing file opened to be put in place: what is read through it is what move_over puts
// in place, whatever others do in the folder meanwhile. Destroying it closes the file.
class file_to_place {
public:
    virtual ~file_to_place() = default;
    // The next bytes of the file; 0 at its end, nullopt when a read failed.
    [[nodiscard]] virtual std::optional<std::size_t> read_some(void* buffer, std::size_t size) = 0;
    // Renames the file over `target`, replacing it; false when refused, or when the file's
    // name no longer holds the file read (someone swapped it), and then nothing is moved.
    [[nodiscard]] virtual bool move_over(const std::wstring& target) = 0;

protected:
    file_to_place() = default;
};

// A file being written. Destroying it without finish() closes it as it is.
class output_file : public byte_sink {
public:
    virtual ~output_file() = default;
    // Closes the file; false when some of what was written may not have reached it.
    [[nodiscard]] virtual bool finish() = 0;
    // Instead of finish(): ends the writing and holds the file to be put in place through the
    // handle it was written through (reads start at its beginning), so that bytes hashed on
    // their way in need not be read again to be trusted. Null when this file cannot be held
    // (a continued file, or a table that does not offer it); finish() is then still to come.
    [[nodiscard]] virtual std::unique_ptr<file_to_place> keep_to_place() { return nullptr; }

protected:
    output_file() = default;
};

// A file to place that passes every call on to another: a table that watches the moves wraps
// the files it opens in one and overrides move_over.
class forwarding_file_to_place : public file_to_place {
public:
    explicit forwarding_file_to_place(std::unique_ptr<file_to_place> inner) : inner_(std::move(inner)) {}
    std::optional<std::size_t> read_some(void* buffer, std::size_t size) override {
        return inner_->read_some(buffer, size);
    }
    bool move_over(const std::wstring& target) override { return inner_->move_over(target); }

private:
    std::unique_ptr<file_to_place> inner_;
};

class file_operations {
public:
    virtual ~file_operations() = default;

    // Created or truncated; null on failure, with `error` set to the system's error number.
    [[nodiscard]] virtual std::unique_ptr<output_file> create_file(const std::wstring& path,
                                                                   std::uint32_t& error) = 0;
    // An existing file kept up to its first `length` bytes, to be written on after them;
    // null on failure (also for a shorter file).
    [[nodiscard]] virtual std::unique_ptr<output_file>
    continue_file(const std::wstring& path, std::uint64_t length, std::uint32_t& error) = 0;
    // Held for reading and moving (see file_to_place); null on failure, with `error` set.
    [[nodiscard]] virtual std::unique_ptr<file_to_place> open_to_place(const std::wstring& path,
                                                                       std::uint32_t& error) = 0;
    // Renames a file, replacing an existing destination on the same volume.
    [[nodiscard]] virtual bool move_replace(const std::wstring& from, const std::wstring& to) = 0;
    // No effect (and false) when the file is missing.
    virtual bool delete_file(const std::wstring& path) = 0;
    virtual bool create_directories(const std::wstring& path) = 0;
    // A directory of the launcher's work area (its parent must exist) that only the system and
    // administrators may change; a link at its name is replaced by the directory. False when
    // it cannot be made or secured: it must not be used then.
    virtual bool create_private_directory(const std::wstring& path) = 0;
    // Files are deleted at its top level only, and only when allowed.
    virtual bool remove_directory(const std::wstring& path, bool allow_files) = 0;
    virtual bool mark_executable(const std::wstring& path) = 0;
    // Puts on disk everything written so far on the volume that holds `directory`, or at
    // least the files named; false when the system refused.
    [[nodiscard]] virtual bool make_durable(const std::wstring& directory,
                                            const std::vector<std::wstring>& written) = 0;
    // The bytes that may still be written on the volume that holds `directory`; nullopt when
    // the system does not say.
    [[nodiscard]] virtual std::optional<std::uint64_t> free_space(const std::wstring& directory) = 0;

protected:
    file_operations() = default;
    file_operations(const file_operations&) = default;
    file_operations& operator=(const file_operations&) = default;
};

// A table that passes every operation on to another. A table that watches or changes some
// operations derives from it and overrides only those, calling the forwarded one for the
// rest of the work.
class forwarding_file_operations : public file_operations {
public:
    explicit forwarding_file_operations(file_operations& inner) : inner_(inner) {}

    std::unique_ptr<output_file> create_file(const std::wstring& path, std::uint32_t& error) override {
        return inner_.create_file(path, error);
    }
    std::unique_ptr<output_file> continue_file(const std::wstring& path, std::uint64_t length,
                                               std::uint32_t& error) override {
        return inner_.continue_file(path, length, error);
    }
    std::unique_ptr<file_to_place> open_to_place(const std::wstring& path, std::uint32_t& error) override {
        return inner_.open_to_place(path, error);
    }
    bool move_replace(const std::wstring& from, const std::wstring& to) override {
        return inner_.move_replace(from, to);
    }
    bool delete_file(const std::wstring& path) override { return inner_.delete_file(path); }
    bool create_directories(const std::wstring& path) override { return inner_.create_directories(path); }
    bool create_private_directory(const std::wstring& path) override {
        return inner_.create_private_directory(path);
    }
    bool remove_directory(const std::wstring& path, bool allow_files) override {
        return inner_.remove_directory(path, allow_files);
    }
    bool mark_executable(const std::wstring& path) override { return inner_.mark_executable(path); }
    bool make_durable(const std::wstring& directory, const std::vector<std::wstring>& written) override {
        return inner_.make_durable(directory, written);
    }
    std::optional<std::uint64_t> free_space(const std::wstring& directory) override {
        return inner_.free_space(directory);
    }

protected:
    [[nodiscard]] file_operations& inner() const { return inner_; }

private:
    file_operations& inner_;
};

// Another table, telling `report` of every change the disk refused, in a text that names the
// path: a failed file's own error text names the file but not the step or the disk that
// failed it, and a failed document has no text at all. A delete or a directory removal that
// finds nothing to do is not reported, nor is a refused flush, which only costs the stamps
// that the next start makes again. `report` may be called from any thread.
class reporting_file_operations final : public forwarding_file_operations {
public:
    using report_function = std::function<void(std::wstring)>;
    reporting_file_operations(file_operations& inner, report_function report)
        : forwarding_file_operations(inner), report_(std::move(report)) {}

    std::unique_ptr<output_file> create_file(const std::wstring& path, std::uint32_t& error) override;
    std::unique_ptr<output_file> continue_file(const std::wstring& path, std::uint64_t length,
                                               std::uint32_t& error) override;
    std::unique_ptr<file_to_place> open_to_place(const std::wstring& path, std::uint32_t& error) override;
    bool move_replace(const std::wstring& from, const std::wstring& to) override;
    bool create_directories(const std::wstring& path) override;
    bool create_private_directory(const std::wstring& path) override;
    bool mark_executable(const std::wstring& path) override;

private:
    report_function report_;
};

// The operating system's own, through the common file-system layer, for the files below
// `game_dir`: no operation passes through a link (a junction, a symbolic link) below it, and
// a path that does not lie below it is refused (see common/guarded_tree.hpp). Usable from
// every thread.
[[nodiscard]] std::unique_ptr<file_operations> system_file_operations_below(std::wstring game_dir);

// The same for files anywhere: only the last name of each path is guarded. For trees the
// caller made itself (tests, tools). One per process.
[[nodiscard]] file_operations& system_file_operations();

} // namespace qz4
