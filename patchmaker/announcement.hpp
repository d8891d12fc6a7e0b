// version.json as a signing patch maker publishes it: valid for a while, signed again only
// once the one already published has used up half of that time.
#pragma once

#include "signatures/signatures.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qz4 {

struct announcement_terms {
    std::uint32_t update = 0;      // the update it must announce
    std::string_view product_guid; // its signature is for this product
    std::uint64_t now = 0;         // seconds since 1970 (UTC)
    std::uint64_t validity_seconds = 0;
};

// The expiry of the version.json at `path` when it can stay: it announces `terms.update`, its
// signature beside it is by `key` for that update and product, and from half to all of the
// validity is left (more than all means the validity was shortened or the clock put back).
// nullopt when it has to be written again, whatever is wrong with it.
[[nodiscard]] std::optional<std::uint64_t>
reusable_announcement(const std::wstring& path, const signing_key& key, const announcement_terms& terms);

} // namespace qz4
