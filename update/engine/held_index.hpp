// What the launcher knows of the index it keeps from its last retrieval (held_index.json
// beside index.json): the update it belongs to, where it came from and the validators the
// host gave it, so that a start whose update has not changed need not fetch it again, and one
// that must ask can be told "not modified".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qz4 {

struct held_index {
    std::uint32_t update = 0;
    std::string source;        // below the host: "<n>/index.json.lzma2" or "<n>/index.json"
    std::string etag;          // as the host sent it; empty when it sent none
    std::string last_modified; // likewise
    std::string sha1;          // of index.json as held, so that a damaged copy is not taken

    [[nodiscard]] bool has_validators() const { return !etag.empty() || !last_modified.empty(); }
};

// Nullopt when the record is missing, unreadable or damaged (a member of the wrong type, a
// validator that could not be sent back): the index is then fetched as if none were held.
[[nodiscard]] std::optional<held_index> read_held_index(const std::wstring& path);
[[nodiscard]] std::string held_index_text(const held_index& held);

} // namespace qz4
