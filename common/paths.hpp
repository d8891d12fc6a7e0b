// Path arithmetic on wide Windows-form paths (backslash separators). Pure functions: they
// never touch the file system and behave the same on every platform.
#pragma once

#include <string>
#include <string_view>

namespace qz4 {

// base + one backslash + relative, unless base ends with or relative begins with a backslash.
// Slashes are not looked at. An empty base throws std::out_of_range.
[[nodiscard]] std::wstring join_path(std::wstring_view base, std::wstring_view relative);

// Text before the last backslash; without one, before the last slash; otherwise unchanged.
[[nodiscard]] std::wstring parent_directory(std::wstring_view path);

// Text after the last backslash; without one, after the last slash; otherwise unchanged.
[[nodiscard]] std::wstring file_name_of(std::wstring_view path);

} // namespace qz4
