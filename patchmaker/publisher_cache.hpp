// The patch maker's memory of what it published: per input file (by its lower-cased key) the
// stamp the file had and the record published for it, kept in cache.json as every earlier
// version wrote it. Beside it a binary companion holds the same entries, plus the size and
// write time each server copy had when it was last found good, so that a run over a large
// unchanged tree neither parses cache.json nor opens a single file. The companion names the
// size and write time of the cache.json it belongs to: a cache.json written or edited by
// anyone else makes it stale, and cache.json is read instead.
#pragma once

#include "common/file_system.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace qz4 {

// A value as the compact layout writes it, without the line break: the text of a record
// that the cache keeps and the index is put together from.
[[nodiscard]] std::string compact_text(const nlohmann::json& value);

// A server copy as it was when last proven good (by its digest, or by being made), with what
// a run that reuses it unopened needs of its record.
struct proven_copy {
    plain_file_status status;
    std::uint32_t update = 0; // the record's "u"
    std::string remote;       // the record's "r"
    friend bool operator==(const proven_copy&, const proven_copy&) = default;
};

struct cached_file {
    std::uint64_t stamp = 0;         // the input file's stamp (file_cache.hpp)
    std::string record;              // its published record, as compact_text gives it
    std::optional<proven_copy> copy; // none until the copy is proven
};

// Where the loaded entries came from.
enum class cache_source { nothing, document, companion };

class publisher_cache {
public:
    // Never fails: a missing or damaged cache.json gives an empty cache, a missing, damaged
    // or stale companion falls back to cache.json.
    void load(const std::wstring& document_path, const std::wstring& companion_path);

    // Writes cache.json when its content differs from `loaded` (or it is not there), and the
    // companion when anything differs from what it held. False when cache.json could not be
    // written; a previous cache.json is then left as it was.
    [[nodiscard]] bool save(const std::wstring& document_path, const std::wstring& companion_path,
                            const publisher_cache& loaded) const;

    // Only for a cache that nothing stores into any more (the one loaded before the run).
    [[nodiscard]] const cached_file* find(const std::string& key) const;

    void store(const std::string& key, cached_file entry);

    // Whether both would write the same cache.json; server copies are not compared. `other`
    // must be one that nothing stores into any more.
    [[nodiscard]] bool same_document(const publisher_cache& other) const;

    [[nodiscard]] cache_source source() const { return source_; }

private:
    [[nodiscard]] bool load_companion(const std::wstring& companion_path,
                                      const plain_file_status& document_status);
    void load_document(const std::wstring& document_path);
    [[nodiscard]] std::string document_text() const;
    [[nodiscard]] std::string companion_bytes(const plain_file_status& document_status) const;
    // Both under this cache's lock; `other` must be one that nothing stores into any more.
    [[nodiscard]] bool same_document_locked(const publisher_cache& other) const;
    [[nodiscard]] bool same_copies(const publisher_cache& other) const;

    mutable std::mutex mutex_; // guards entries_ (store and the reading that follows it)
    std::map<std::string, cached_file> entries_;
    // cache.json held something these entries cannot give back as it was (an entry of
    // another shape, a document that is not an object of entries): it must be written anew.
    bool irregular_ = false;
    cache_source source_ = cache_source::nothing;
};

} // namespace qz4
