// Files only their owner may read: the publisher's signing key.
#pragma once

#include <string>
#include <string_view>

namespace qz4 {

// Creates `path` with `text`, readable and writable by the current user alone from the
// moment it exists. Fails (and leaves nothing) when the file exists already or cannot be
// written whole.
[[nodiscard]] bool create_private_file(const std::wstring& path, std::string_view text);

} // namespace qz4
