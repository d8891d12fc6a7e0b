// cache.json as the launcher and the patch maker load it from disk: any content gives a
// usable cache (a bad one an empty cache), lookups of its entries never fail, the patch
// maker's records read back or are refused cleanly, and what is saved loads back the same.
#include "fuzz/json_checks.hpp"
#include "update/documents/file_cache.hpp"
#include "update/documents/manifests.hpp"

#include <cstdint>

using namespace qz4;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::wstring document = fuzz::scratch_file("cache.json");
    static const std::wstring saved = fuzz::scratch_file("saved.json");
    static const std::wstring game = fuzz::scratch_file("game.exe");
    static const bool game_written = (fuzz::write_bytes(game, "client"), true);
    (void)game_written;
    fuzz::write_bytes(document, fuzz::as_text(data, size));

    file_cache cache;
    cache.load(document);
    const nlohmann::json loaded = cache.snapshot();
    FUZZ_CHECK(loaded.is_null() || loaded.is_object());
    const std::uint64_t stamp = *file_stamp(game);

    std::string first_key;
    static const nlohmann::json no_entries = nlohmann::json::object();
    const nlohmann::json& entries = loaded.is_object() ? loaded : no_entries;
    for (const auto& [key, entry] : entries.items()) {
        if (first_key.empty())
            first_key = key;
        nlohmann::json data_out = "untouched";
        const bool hit = cache.lookup(std::string_view(key), game, &data_out);
        const bool expected = entry.is_object() && entry.contains("cache") && entry["cache"].is_number() &&
                              json_number_u64(entry["cache"]) == stamp;
        FUZZ_CHECK(hit == expected);
        if (!hit) {
            FUZZ_CHECK(data_out == "untouched");
            continue;
        }
        // The patch maker's entries carry the record it published for the file.
        try {
            (void)read_file_record(data_out);
        } catch (const nlohmann::json::exception&) {
        }
    }

    // A stored entry is found again, with its data, and survives saving and loading.
    const nlohmann::json record = {{"l", first_key}, {"u", 1}};
    FUZZ_CHECK(cache.store(std::string_view(first_key), game, &record));
    nlohmann::json found;
    FUZZ_CHECK(cache.lookup(std::string_view(first_key), game, &found));
    FUZZ_CHECK(found == record);
    FUZZ_CHECK(cache.save(saved));
    file_cache reloaded;
    reloaded.load(saved);
    FUZZ_CHECK(reloaded.snapshot() == cache.snapshot());
    return 0;
}
