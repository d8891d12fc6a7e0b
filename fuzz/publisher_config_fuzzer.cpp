// The publisher's config.json as the patch maker reads it: its settings, the `client` object
// it publishes in every index (and the launcher turns into check rules), and the document
// saved back with a raised update number.
#include "fuzz/json_checks.hpp"
#include "update/documents/check_rules.hpp"
#include "update/documents/manifests.hpp"

#include <cstdint>

using namespace qz4;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto config = fuzz::parse_document(fuzz::as_text(data, size));
    if (!config)
        return 0;
    fuzz::check_round_trip(*config);

    publisher_settings settings;
    try {
        settings = read_publisher_settings(*config);
    } catch (const nlohmann::json::exception&) {
        return 0; // reported to the publisher; nothing is written
    }

    // The index the run publishes carries `client` whole.
    const nlohmann::json& client = json_member(*config, "client");
    const nlohmann::json index = index_document(client, nullptr);
    fuzz::check_round_trip(index);
    check_rules rules;
    std::uint32_t version = 0;
    try {
        version = json_number_u32(json_member(client, "version"));
    } catch (const nlohmann::json::exception&) {
    }
    (void)build_check_rules(client, version, L"C:\\Games\\Tarnwood", rules);

    // Reading the settings proved `maker` an object, so the raised number can be stored.
    (*config)["maker"]["gameupdate"] = settings.gameupdate + 1;
    fuzz::check_round_trip(*config);
    return 0;
}
