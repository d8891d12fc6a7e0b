// One file of a server's index on its way through verification, download and unpacking:
// the paths it is read from and written to, and the sizes and digests it must have.
#pragma once

#include "common/file_digests.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qz4 {

struct update_task {
    std::uint32_t attempts = 0; // retries used in the current stage
    std::string remote_path;    // `r`: below a host's base URL, UTF-8
    std::wstring local_path;    // `l`: below the game directory
    std::wstring target_path;   // where the file belongs; the launcher's "new-" copy for itself
    std::wstring unpack_path;   // the target's own path followed by ".unp"
    std::uint64_t local_size = 0;
    std::string local_sha1;     // digest text of the file as it must be, lower case
    std::wstring download_path; // below the download area, with the pack format as extension
    std::uint64_t remote_size = 0;
    std::string pack_format;   // "none", "lzma2", or what else the server named
    std::string download_sha1; // digest text the downloaded file must have
    bool is_self = false;      // the file is the launcher's own executable
    // What the files are checked with. With SHA-256 (a launcher with the publisher's keys) a
    // file must match both digests; the texts below are then well-formed, otherwise empty.
    digest_kinds digests = digest_kinds::sha1;
    std::string local_sha256;
    std::string download_sha256;
};

// Where the tasks of one launcher read and write.
struct task_locations {
    std::wstring game_dir;     // index paths are relative to it
    std::wstring download_dir; // the download area
    std::wstring exe_path;     // the launcher's own executable
    std::wstring new_exe_path; // where a new launcher executable is written instead
};

// Whether `path` names a file strictly below whatever directory it is joined to, however
// Windows reads it: one or more names separated by backslashes or slashes, none of them
// empty, ending in a dot or a space (Windows drops those, so "..", ". ." and "x." are not what
// they seem), holding a character Windows forbids in names (control characters, < > : " | ? *,
// which also rules out drive letters and streams) or naming a device (CON, NUL, COM1...).
// A leading separator (a rooted or UNC path) makes an empty first name. Names longer than
// 255 units and paths longer than 4096 are refused too: no disk would take them.
[[nodiscard]] bool is_contained_relative_path(std::wstring_view path);

// The entry's `l` as a path below the game directory (backslashes), whatever else the entry
// holds; nullopt when it is no text or names no such path. Never throws for any JSON value.
[[nodiscard]] std::optional<std::wstring> named_local_path(const nlohmann::json& entry);

// Turns one `files` entry of an index into a task, or returns null when the entry must be
// skipped: a member is missing or has the wrong type, `l` does not name a file below the
// game directory (a hostile or broken index must not make us write anywhere else), or the
// pack format is not a plain name (it becomes the download's extension). With `digests`
// asking for SHA-256, also when `l_sha256` or, for a packed copy, `r_sha256` is missing or
// not a digest text for its size. Never throws for any JSON value.
[[nodiscard]] std::shared_ptr<update_task> make_update_task(const nlohmann::json& entry,
                                                            const task_locations& where,
                                                            digest_kinds digests = digest_kinds::sha1);

// How the digests a file gave compare with those the task expects of the installed file, or
// of the download: the SHA-1 in either letter case and, where the task asks for it, the
// SHA-256. A file that matches only one is as wrong as one that matches neither.
enum class digest_check { match, sha1_mismatch, sha256_mismatch };
[[nodiscard]] digest_check check_installed(const update_task& task, const digest_texts& found);
[[nodiscard]] digest_check check_download(const update_task& task, const digest_texts& found);

// Readies a task for the download queue: no attempts used yet, and the launcher's own
// executable written beside itself, since a running program cannot be replaced.
void prepare_for_download(update_task& task, const task_locations& where);

} // namespace qz4
