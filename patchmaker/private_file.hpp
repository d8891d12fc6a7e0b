// Files only their owner may read: the publisher's signing key.
#pragma once

#include <string>
#include <string_view>

namespace qz4 {

// Creates `path` with `text`, readable and writable by the current user alone from the
// moment it exists. Fails (and leaves nothing) when the file exists already or cannot be
// written whole.
[[nodiscard]] bool create_private_file(const std::wstring& path, std::string_view text);

// Whether users other than the owner may read the file; false when it cannot be told.
[[nodiscard]] bool readable_by_others(const std::wstring& path);

} // namespace qz4
