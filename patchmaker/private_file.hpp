// Files only their owner may read: the publisher's signing key, as the patch maker makes it
// and as it finds it.
#pragma once

#include <string>
#include <string_view>

namespace qz4 {

// Creates `path` with `text`, readable and writable by the current user alone from the
// moment it exists. Fails (and leaves nothing) when the file exists already or cannot be
// written whole.
[[nodiscard]] bool create_private_file(const std::wstring& path, std::string_view text);

// Whether others may read the file: POSIX, any permission bit for the group or others;
// Windows, an entry of its access list that lets anyone read but its owner, the user running
// the program, the system and the administrators. False when the file cannot be looked at.
[[nodiscard]] bool readable_by_others(const std::wstring& path);

// The command that makes the file readable by its owner alone, for the publisher to run.
[[nodiscard]] std::string owner_only_command(const std::wstring& path);

} // namespace qz4
