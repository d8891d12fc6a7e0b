// Building and reading the published documents.
#include "update/documents/manifests.hpp"

#include "common/ascii_text.hpp"
#include "common/encoding.hpp"
#include "update/documents/json_document.hpp"

#include <stdexcept>
#include <string>

namespace qz4 {

namespace {

// The template as text, so that the publisher's first config.json reads like the documents
// they will edit. The host is an example for the publisher to replace.
constexpr char publisher_template_text[] = R"({
    "client": {
        "version": 3,
        "check": {
            "cache": true,
            "hard_check": ["client\\*.exe", "client\\*.dll"],
            "soft_check": ["config\\*.*"],
            "acceptable_checksums": []
        },
        "guid": "",
        "hosts": ["http://updates.example.com/launcher/"]
    },
    "maker": {
        "gameupdate": 0,
        "validity_days": 30,
        "packer": {
            "minsize": 16384,
            "optimize": true,
            "optimize_threshold": 85
        }
    }
})";

bool is_empty_container(const nlohmann::json& value) {
    return (value.is_array() || value.is_object()) && value.empty();
}

} // namespace

nlohmann::json file_record_json(const file_record& record) {
    nlohmann::json entry = {
        {"u", record.u},           {"l", record.l}, {"l_sha1", record.l_sha1},
        {"l_size", record.l_size}, {"r", record.r}, {"r_size", record.r_size},
    };
    if (record.r_pack != pack_format_none) {
        entry["r_pack"] = record.r_pack;
        entry["r_sha1"] = record.r_sha1;
    }
    return entry;
}

file_record read_file_record(const nlohmann::json& entry) {
    file_record record = read_download_record(entry);
    if (const auto& u = json_member(entry, "u"); !u.is_null())
        record.u = json_number_u32(u);
    return record;
}

file_record read_download_record(const nlohmann::json& entry) {
    file_record record;
    record.l = json_member(entry, "l").get<std::string>();
    record.l_sha1 = to_lower(json_member(entry, "l_sha1").get<std::string>());
    record.l_size = json_number_exact_u32(json_member(entry, "l_size"));
    record.r = json_member(entry, "r").get<std::string>();
    record.r_size = json_number_exact_u32(json_member(entry, "r_size"));
    const auto& pack = json_member(entry, "r_pack");
    record.r_pack =
        pack.is_null() || is_empty_container(pack) ? pack_format_none : to_lower(pack.get<std::string>());
    if (record.r_pack != pack_format_none)
        record.r_sha1 = to_lower(json_member(entry, "r_sha1").get<std::string>());
    return record;
}

std::string local_path_text(std::wstring_view relative_path) {
    return wide_to_utf8(relative_path);
}

std::string remote_path_text(std::uint32_t update, std::wstring_view relative_path, bool packed) {
    std::wstring text = std::to_wstring(update) + L"\\" + to_lower(relative_path);
    text = replace_all(replace_all(text, L"\\", L"/"), L" ", L"%20");
    std::string result = wide_to_utf8(text);
    if (packed)
        result += ".lzma2";
    return result;
}

nlohmann::json publisher_config_template(std::string_view guid) {
    nlohmann::json config = nlohmann::json::parse(publisher_template_text);
    config["client"]["guid"] = guid;
    return config;
}

publisher_settings read_publisher_settings(const nlohmann::json& config) {
    const auto& maker = json_member(config, "maker");
    const auto& packer = json_member(maker, "packer");
    publisher_settings settings;
    settings.optimize = json_member(packer, "optimize").get<bool>();
    settings.minsize = json_number_u32(json_member(packer, "minsize"));
    if (settings.optimize)
        settings.optimize_threshold =
            static_cast<std::int32_t>(json_number_u32(json_member(packer, "optimize_threshold")));
    settings.gameupdate = json_number_u32(json_member(maker, "gameupdate"));
    if (const auto& validity = json_member(maker, "validity_days"); !validity.is_null()) {
        settings.validity_days = json_number_u32(validity);
        if (settings.validity_days < 1 || settings.validity_days > max_validity_days)
            throw std::out_of_range("maker.validity_days must be from 1 to " +
                                    std::to_string(max_validity_days));
    }
    return settings;
}

nlohmann::json version_document(std::uint32_t update, std::optional<std::uint64_t> expires) {
    nlohmann::json version = {{"gameupdate", update}};
    if (expires)
        version["expires"] = *expires;
    return version;
}

std::uint32_t read_update_number(const nlohmann::json& version) {
    return json_number_exact_u32(json_member(version, "gameupdate"));
}

std::optional<std::uint64_t> read_expiry(const nlohmann::json& version) {
    if (!version.is_object())
        return std::nullopt;
    const auto member = version.find("expires");
    if (member == version.end() || !member->is_number_integer())
        return std::nullopt;
    if (member->is_number_unsigned())
        return member->get<std::uint64_t>();
    const std::int64_t value = member->get<std::int64_t>();
    return value < 0 ? std::nullopt : std::optional<std::uint64_t>(static_cast<std::uint64_t>(value));
}

nlohmann::json index_document(const nlohmann::json& client_config, const nlohmann::json& files) {
    return {{"config", client_config}, {"files", files}};
}

} // namespace qz4
