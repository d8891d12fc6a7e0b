// The entries of an index that a pass examines: the verification and the disk-space check
// must skip the same ones.
#pragma once

#include "update/documents/update_task.hpp"

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace qz4 {

// The index's `files` (an array or an object), or an empty value when it has none.
[[nodiscard]] const nlohmann::json& index_files(const nlohmann::json& index);

// An entry that names a file of the game but cannot bring it up to date: a member missing or
// of the wrong type, a size beyond its range, a pack format that is no plain name, or (with
// the publisher's keys) no usable SHA-256. Its file is reported as failed, with the reason:
// passing over it would call an update done that was not.
struct unusable_entry {
    std::wstring local_path;
    const char* reason;
};

// Each entry as a task, or null when it is skipped: an entry make_update_task refuses, one in
// the launcher's own work area, and every further entry for a file already taken. Entries
// must carry `digests`.
class examined_entries {
public:
    examined_entries(const task_locations& where, digest_kinds digests) : where_(where), digests_(digests) {}

    [[nodiscard]] std::shared_ptr<update_task> take(const nlohmann::json& entry);

    // Among the entries skipped so far, those whose `l` names a file of the game (once per
    // file) but that are unusable otherwise. An `l` that names no such file (outside the
    // game, in the work area, or no text at all) is passed over: there is nothing to report.
    [[nodiscard]] const std::vector<unusable_entry>& unusable() const { return unusable_; }

private:
    [[nodiscard]] bool is_new_file(std::wstring_view local_path);

    const task_locations& where_;
    digest_kinds digests_;
    std::unordered_set<std::wstring> seen_; // file identities taken so far
    std::vector<unusable_entry> unusable_;
};

// Every file the index names, by its identity (letter case and slashes aside), so that a
// name the engine makes for its own use can be told from a client file of that name.
class listed_files {
public:
    explicit listed_files(const nlohmann::json& entries);
    [[nodiscard]] bool contains(std::wstring_view local_path) const;

private:
    std::unordered_set<std::wstring> identities_;
};

} // namespace qz4
