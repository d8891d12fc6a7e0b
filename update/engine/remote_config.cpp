#include "update/engine/remote_config.hpp"

#include "common/ascii_text.hpp"
#include "common/encoding.hpp"
#include "texts/player_texts.hpp"
#include "update/documents/json_document.hpp"
#include "update/engine/host_list.hpp"

namespace qz4 {

namespace {

bool is_empty_value(const nlohmann::json& value) {
    return value.is_null() || ((value.is_array() || value.is_object()) && value.empty());
}

const nlohmann::json& member_or_null(const nlohmann::json& object, const char* key) {
    static const nlohmann::json null_value;
    const auto found = object.find(key);
    return found == object.end() ? null_value : *found;
}

// `version` as a 32-bit integer: a floating value truncated, a boolean as 0 or 1. An integer
// outside 32 bits is no schema we know; reduced to its low bits it could pass for one.
std::optional<std::int32_t> schema_version(const nlohmann::json& value) {
    if (!value.is_number() && !value.is_boolean())
        return std::nullopt;
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (!(number > -2147483649.0 && number < 2147483648.0))
            return std::nullopt; // not a 32-bit number: the schema cannot be read
        return static_cast<std::int32_t>(number);
    }
    if (value.is_number_integer()) {
        const std::int64_t number = value.get<std::int64_t>();
        if (number < INT32_MIN || number > INT32_MAX)
            return std::nullopt;
        return static_cast<std::int32_t>(number);
    }
    if (value.is_number_unsigned())
        return std::nullopt; // the library keeps every non-negative integer as signed unless it exceeds 2^63
    return static_cast<std::int32_t>(json_number_u32(value));
}

bool is_web_host(const nlohmann::json& host) {
    return host.is_string() && is_web_url(host.get_ref<const std::string&>());
}

// Every member the later steps read as a string must be one; the library's conversions
// would otherwise throw where nothing catches them. A host is also one the transfers may
// ask: a configuration naming another scheme is refused whole, never used in part.
bool members_are_usable(std::int32_t version, const nlohmann::json& config) {
    if (!member_or_null(config, "guid").is_string())
        return false;
    if (version == 1)
        return is_web_host(member_or_null(config, "host"));
    for (const auto& host : member_or_null(config, "hosts"))
        if (!is_web_host(host))
            return false;
    return true;
}

} // namespace

const wchar_t* config_failure_text(config_status status) {
    switch (status) {
    case config_status::ok:
        return L"";
    case config_status::empty:
        return failure_text::config_empty;
    case config_status::invalid_version:
        return failure_text::invalid_version;
    case config_status::invalid:
        return failure_text::config_invalid;
    case config_status::guid_mismatch:
        return failure_text::guid_mismatch;
    }
    return failure_text::config_invalid;
}

bool validate_config(std::int32_t version, const nlohmann::json& config) noexcept {
    if (!config.is_object() || is_empty_value(member_or_null(config, "guid")))
        return false;
    if (version >= 2) {
        const auto& hosts = member_or_null(config, "hosts");
        return hosts.is_array() && !hosts.empty();
    }
    if (version == 1)
        return !is_empty_value(member_or_null(config, "host"));
    return false;
}

checked_config check_remote_config(const nlohmann::json& index, std::wstring_view product_guid) {
    checked_config result;
    if (!index.is_object() && !index.is_null()) {
        result.status = config_status::invalid;
        return result;
    }
    if (index.is_object())
        result.config = member_or_null(index, "config");
    if (is_empty_value(result.config)) {
        result.status = config_status::empty;
        return result;
    }
    if (!result.config.is_object()) {
        result.status = config_status::invalid;
        return result;
    }
    const auto version = schema_version(member_or_null(result.config, "version"));
    if (!version) {
        result.status = config_status::invalid;
        return result;
    }
    result.version = *version;
    if (result.version < 1) {
        result.status = config_status::invalid_version;
        return result;
    }
    if (!validate_config(result.version, result.config) ||
        !members_are_usable(result.version, result.config)) {
        result.status = config_status::invalid;
        return result;
    }
    const std::string guid = wide_to_narrow(product_guid, code_page_ansi);
    if (!equals_ci(guid, member_or_null(result.config, "guid").get_ref<const std::string&>())) {
        result.status = config_status::guid_mismatch;
        return result;
    }
    result.status = config_status::ok;
    return result;
}

bool take_configured_hosts(std::int32_t version, const nlohmann::json& config,
                           std::vector<std::string>& hosts) {
    if (version == 1) {
        // Compared with its final slash, as the list holds it: a host written without one
        // would otherwise never be found in the list it has just made.
        const std::string host =
            with_final_slash(member_or_null(config, "host").get_ref<const std::string&>());
        if (contains_host(hosts, host))
            return false;
        hosts.assign(1, host);
        return true;
    }
    const auto& configured = member_or_null(config, "hosts");
    if (!configured.is_array() || configured.empty())
        return false;
    hosts.clear();
    for (const auto& host : configured)
        hosts.push_back(with_final_slash(host.get_ref<const std::string&>()));
    return false;
}

} // namespace qz4
