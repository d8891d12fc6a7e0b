#include "update/engine/index_entries.hpp"

#include "common/ascii_text.hpp"
#include "common/encoding.hpp"
#include "update/engine/launcher_layout.hpp"

#include <algorithm>

namespace qz4 {

namespace {

// The launcher's own work area is not the index's to write into.
bool in_work_area(std::wstring_view local_path) {
    const std::size_t end = local_path.find_first_of(L"\\/");
    return equals_ci(local_path.substr(0, end), work_area_name);
}

// Two entries for one file would have their downloads and unpacked copies share names.
std::wstring file_identity(std::wstring_view local_path) {
    std::wstring identity = to_lower(local_path);
    std::replace(identity.begin(), identity.end(), L'/', L'\\');
    return identity;
}

} // namespace

const nlohmann::json& index_files(const nlohmann::json& index) {
    static const nlohmann::json none;
    if (!index.is_object())
        return none;
    const auto found = index.find("files");
    if (found == index.end() || !(found->is_array() || found->is_object()))
        return none;
    return *found;
}

bool examined_entries::is_new_file(const update_task& task) {
    return !in_work_area(task.local_path) && seen_.insert(file_identity(task.local_path)).second;
}

std::shared_ptr<update_task> examined_entries::take(const nlohmann::json& entry) {
    auto task = make_update_task(entry, where_, digests_);
    if (!task && digests_ != digest_kinds::sha1) {
        // Usable but for its SHA-256: the file is named, once, as one that cannot be updated.
        const auto without = make_update_task(entry, where_, digest_kinds::sha1);
        if (without && is_new_file(*without))
            lacking_sha256_.push_back(without->local_path);
        return nullptr;
    }
    if (!task || !is_new_file(*task))
        return nullptr;
    return task;
}

listed_files::listed_files(const nlohmann::json& entries) {
    for (const auto& entry : entries) {
        if (!entry.is_object())
            continue;
        const auto local = entry.find("l");
        if (local != entry.end() && local->is_string())
            identities_.insert(file_identity(utf8_to_wide(local->get<std::string>())));
    }
}

bool listed_files::contains(std::wstring_view local_path) const {
    return identities_.contains(file_identity(local_path));
}

} // namespace qz4
