// Building and reading the published documents.
#include "update/documents/manifests.hpp"

#include "common/ascii_text.hpp"
#include "common/encoding.hpp"
#include "common/portable_names.hpp"
#include "update/documents/json_document.hpp"

#include <algorithm>
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

// The bytes a URL carries as they are (RFC 3986).
bool is_unreserved(unsigned char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
           byte == '-' || byte == '.' || byte == '_' || byte == '~';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One component of an `r` with its escapes decoded; nullopt for a malformed escape, a raw
// '#' or '?', or bytes that are not UTF-8 once decoded.
std::optional<std::wstring> decoded_component(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '#' || c == '?')
            return std::nullopt;
        if (c != '%') {
            bytes += c;
            continue;
        }
        const int high = i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
        const int low = high >= 0 ? hex_value(text[i + 2]) : -1;
        if (low < 0)
            return std::nullopt;
        bytes += static_cast<char>(high * 16 + low);
        i += 2;
    }
    std::wstring name = utf8_to_wide(bytes);
    if (wide_to_utf8(name) != bytes)
        return std::nullopt; // not UTF-8, or cut short by a zero byte
    return name;
}

} // namespace

nlohmann::json file_record_json(const file_record& record) {
    nlohmann::json entry = {
        {"u", record.u},           {"l", record.l}, {"l_sha1", record.l_sha1},
        {"l_size", record.l_size}, {"r", record.r}, {"r_size", record.r_size},
    };
    if (record.l_sha256)
        entry["l_sha256"] = *record.l_sha256;
    if (record.r_pack != pack_format_none) {
        entry["r_pack"] = record.r_pack;
        entry["r_sha1"] = record.r_sha1;
        if (record.r_sha256)
            entry["r_sha256"] = *record.r_sha256;
    }
    return entry;
}

file_record read_file_record(const nlohmann::json& entry) {
    file_record record = read_download_record(entry, digest_kinds::sha1_and_sha256);
    if (const auto& u = json_member(entry, "u"); !u.is_null())
        record.u = json_number_u32(u);
    return record;
}

namespace {

// An optional digest: absent, or of another type than text, it is not there.
std::optional<std::string> optional_digest(const nlohmann::json& entry, const char* name) {
    const auto& member = json_member(entry, name);
    if (!member.is_string())
        return std::nullopt;
    return to_lower(member.get_ref<const std::string&>());
}

} // namespace

file_record read_download_record(const nlohmann::json& entry, digest_kinds digests) {
    file_record record;
    record.l = json_member(entry, "l").get<std::string>();
    record.l_sha1 = to_lower(json_member(entry, "l_sha1").get<std::string>());
    record.l_size = json_number_exact_size(json_member(entry, "l_size"));
    record.r = json_member(entry, "r").get<std::string>();
    record.r_size = json_number_exact_size(json_member(entry, "r_size"));
    const auto& pack = json_member(entry, "r_pack");
    record.r_pack =
        pack.is_null() || is_empty_container(pack) ? pack_format_none : to_lower(pack.get<std::string>());
    const bool packed = record.r_pack != pack_format_none;
    if (packed)
        record.r_sha1 = to_lower(json_member(entry, "r_sha1").get<std::string>());
    if (digests == digest_kinds::sha1_and_sha256) {
        record.l_sha256 = optional_digest(entry, "l_sha256");
        if (packed)
            record.r_sha256 = optional_digest(entry, "r_sha256");
    }
    return record;
}

bool is_sha256_text(std::string_view text, std::uint64_t size) {
    if (size == 0)
        return text.empty();
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

std::string local_path_text(std::wstring_view relative_path) {
    return wide_to_utf8(relative_path);
}

std::string remote_path_text(std::uint32_t update, std::wstring_view relative_path, bool packed) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string result = std::to_string(update) + "/";
    for (const char c : wide_to_utf8(to_lower(relative_path))) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '/') {
            result += '/';
        } else if (is_unreserved(byte)) {
            result += c;
        } else {
            result += '%';
            result += hex[byte >> 4];
            result += hex[byte & 0x0F];
        }
    }
    if (packed)
        result += ".lzma2";
    return result;
}

std::optional<std::wstring> server_copy_path(std::string_view remote) {
    std::wstring path;
    for (std::size_t start = 0;;) {
        const std::size_t slash = remote.find('/', start);
        // Components are decoded one by one: an escaped separator is part of a name, which
        // no name Windows can hold has.
        const std::optional<std::wstring> name = decoded_component(remote.substr(start, slash - start));
        if (!name || windows_name_fault(*name) != name_fault::none)
            return std::nullopt;
        if (!path.empty())
            path += L'\\';
        path += *name;
        if (slash == std::string_view::npos)
            return path;
        start = slash + 1;
    }
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
    // In full: a publisher who keeps files of 4 GiB and more unpacked writes a larger number.
    settings.minsize = json_number_u64(json_member(packer, "minsize"));
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
