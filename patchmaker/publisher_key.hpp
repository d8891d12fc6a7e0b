// The publisher's signing key, kept in a file beside config.json and never in output.
#pragma once

#include "signatures/signatures.hpp"

#include <optional>
#include <string>

namespace qz4 {

inline constexpr wchar_t signing_key_name[] = L"signing.key";

enum class key_status {
    loaded,      // the existing file
    created,     // a fresh pair, just written
    damaged,     // the file is there but holds no valid key: nothing may be signed with a guess
    not_written, // there was no file and none could be made
};

struct publisher_key {
    key_status status = key_status::not_written;
    std::optional<signing_key> key; // for loaded and created
};

[[nodiscard]] publisher_key load_or_create_key(const std::wstring& path);

} // namespace qz4
