// What every reader of our documents does with a parsed value besides reading members:
// copies it, compares it, writes it back. None of it may overflow the stack or lose data,
// so after parsing a document the targets check that it round-trips through our layouts.
#pragma once

#include "fuzz/fuzz_support.hpp"
#include "update/documents/json_document.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>

namespace qz4::fuzz {

// Nesting of arrays and objects; a scalar is 0 deep.
inline std::size_t json_depth(const nlohmann::json& value) {
    std::size_t deepest = 0;
    if (value.is_structured())
        for (const auto& element : value)
            deepest = std::max(deepest, json_depth(element) + 1);
    return value.is_structured() && deepest == 0 ? 1 : deepest;
}

// The document parsed as our readers parse it, or nothing when they refuse it. Only the
// library's own exceptions may come out of the parser; anything else escapes and is a finding.
inline std::optional<nlohmann::json> parse_document(std::string_view text) {
    try {
        nlohmann::json value = parse_json_text(text);
        FUZZ_CHECK(json_depth(value) <= json_depth_limit);
        return value;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

// Both layouts we write must parse back to an equal value.
inline void check_round_trip(const nlohmann::json& value) {
    const nlohmann::json copy = value;
    FUZZ_CHECK(copy == value);
    FUZZ_CHECK(parse_json_text(json_text_compact(value)) == value);
    FUZZ_CHECK(parse_json_text(json_text_pretty(value)) == value);
}

} // namespace qz4::fuzz
