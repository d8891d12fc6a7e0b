// The copy names of one run (copy_names.hpp), from the enumeration and the cache as loaded.
#include "common/ascii_text.hpp"
#include "common/encoding.hpp"
#include "patchmaker/copy_names.hpp"
#include "patchmaker/patch_maker_state.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"

namespace qz4 {

namespace {

// The stem of a copy that a run which published nothing made under the number this run
// gives out, so that reusing it cannot clash with the new copies beside it.
std::wstring kept_stem(const cached_file* cached, const std::string& next_prefix) {
    // Most records name an older update: they are not parsed at all.
    if (cached == nullptr || cached->record.find("\"r\":\"" + next_prefix) == std::string::npos)
        return {};
    nlohmann::json record;
    try {
        record = parse_json_text(cached->record);
    } catch (const nlohmann::json::exception&) {
        return {};
    }
    if (!record.is_object() || !record.contains("r") || !record.at("r").is_string())
        return {};
    std::string remote = record.at("r").get<std::string>();
    if (!remote.starts_with(next_prefix))
        return {};
    remote.erase(0, next_prefix.size());
    if (record.contains("r_pack") && remote.ends_with(".lzma2"))
        remote.resize(remote.size() - 6);
    return server_copy_path(remote).value_or(std::wstring());
}

} // namespace

const std::wstring& patch_maker_state::copy_stem(std::size_t position) {
    std::call_once(stems_given_, [this] {
        const std::string next_prefix = std::to_string(next_version) + "/";
        std::vector<std::wstring> keys;
        std::vector<std::wstring> kept;
        for (const auto& file : enumerated) {
            keys.push_back(to_lower(file.substr(std::min(file.size(), input_dir.size() + 1))));
            kept.push_back(kept_stem(old_cache.find(wide_to_utf8(keys.back())), next_prefix));
        }
        stems_ = assign_copy_stems(keys, kept);
    });
    return stems_.at(position);
}

} // namespace qz4
