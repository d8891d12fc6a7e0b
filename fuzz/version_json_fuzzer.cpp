// version.json as the launcher reads it from a server (and from its own copy at the next
// start): the update number and the expiry, from any document at all.
#include "fuzz/json_checks.hpp"
#include "update/documents/manifests.hpp"

#include <cstdint>

using namespace qz4;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto document = fuzz::parse_document(fuzz::as_text(data, size));
    if (!document)
        return 0;
    try {
        const std::uint32_t update = read_update_number(*document);
        // The number names the index's directory: "<n>/index.json".
        FUZZ_CHECK(!std::to_string(update).empty());
    } catch (const nlohmann::json::exception&) {
        // Not a usable version document: the attempt fails and the next host is asked.
    }
    // Never an error: no expiry, or a whole number from 0 up.
    (void)read_expiry(*document);
    fuzz::check_round_trip(*document);
    return 0;
}
