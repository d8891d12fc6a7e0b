// The checks a server's index must pass before anything is verified or downloaded: a
// configuration that is there, a usable schema version, the members that version needs,
// our product's GUID; and the host list it may bring. Pure functions; they never throw,
// whatever the index holds.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qz4 {

enum class config_status {
    ok,
    empty,           // no `config`, or one without members
    invalid_version, // `version` below 1
    invalid,         // members missing or of the wrong type, or a host neither http nor https
    guid_mismatch,   // another product's index
};

// The failure detail the run reports for a status (English only); empty for ok.
[[nodiscard]] const wchar_t* config_failure_text(config_status status);

struct checked_config {
    config_status status = config_status::empty;
    nlohmann::json config; // a copy of the index's `config`
    std::int32_t version = 0;
};

// Runs every check in order and stops at the first that fails.
[[nodiscard]] checked_config check_remote_config(const nlohmann::json& index, std::wstring_view product_guid);

// Whether the configuration carries what its version needs: a `guid` that is not an empty
// container, and a non-empty `hosts` array (version 2 on) or a `host` that is not an empty
// container (version 1).
[[nodiscard]] bool validate_config(std::int32_t version, const nlohmann::json& config) noexcept;

// Takes the host list of a checked configuration into `hosts`. Returns true when the run
// must retrieve the index again through the new list: a version 1 configuration naming a
// host that is not in the list yet.
bool take_configured_hosts(std::int32_t version, const nlohmann::json& config,
                           std::vector<std::string>& hosts);

} // namespace qz4
