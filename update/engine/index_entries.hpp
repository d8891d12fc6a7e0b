// The entries of an index that a pass examines: the verification and the disk-space check
// must skip the same ones.
#pragma once

#include "update/documents/update_task.hpp"

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

namespace qz4 {

// The index's `files` (an array or an object), or an empty value when it has none.
[[nodiscard]] const nlohmann::json& index_files(const nlohmann::json& index);

// Each entry as a task, or null when it is skipped: an entry make_update_task refuses, one in
// the launcher's own work area, and every further entry for a file already taken.
class examined_entries {
public:
    explicit examined_entries(const task_locations& where) : where_(where) {}

    [[nodiscard]] std::shared_ptr<update_task> take(const nlohmann::json& entry);

private:
    const task_locations& where_;
    std::unordered_set<std::wstring> seen_; // file identities taken so far
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
