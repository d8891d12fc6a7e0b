#include "update/engine/index_entries.hpp"

#include "common/ascii_text.hpp"
#include "common/encoding.hpp"
#include "update/engine/launcher_layout.hpp"

#include <algorithm>
#include <optional>

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

bool examined_entries::is_new_file(std::wstring_view local_path) {
    return !in_work_area(local_path) && seen_.insert(file_identity(local_path)).second;
}

std::shared_ptr<update_task> examined_entries::take(const nlohmann::json& entry) {
    auto task = make_update_task(entry, where_, digests_);
    if (task)
        return is_new_file(task->local_path) ? task : nullptr;
    const std::optional<std::wstring> named = named_local_path(entry);
    if (!named || !is_new_file(*named))
        return nullptr;
    const bool only_sha256_lacks =
        digests_ != digest_kinds::sha1 && make_update_task(entry, where_, digest_kinds::sha1) != nullptr;
    unusable_.push_back(
        {*named, only_sha256_lacks ? "No SHA-256 digest in the index" : "Unusable entry in the index"});
    return nullptr;
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
