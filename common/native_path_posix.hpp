// The POSIX layer's only path translation: wide Windows-form paths become UTF-8 with
// slashes at the system-call boundary, and reported paths come back the other way.
#pragma once

#include <string>
#include <string_view>

namespace qz4 {

[[nodiscard]] std::string to_native_path(std::wstring_view path);
[[nodiscard]] std::wstring from_native_path(std::string_view path);

} // namespace qz4
