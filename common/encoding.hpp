// Conversions between UTF-8 (and the ANSI code page) and wide strings.
// Wide strings are UTF-16 on Windows and UTF-32 elsewhere; both hold the same characters.
#pragma once

#include <string>
#include <string_view>

namespace qz4 {

inline constexpr unsigned code_page_ansi = 0;
inline constexpr unsigned code_page_utf8 = 65001;

// Invalid byte sequences become U+FFFD. The whole text is converted, embedded zeros
// included, and the result ends at the first zero character.
[[nodiscard]] std::wstring utf8_to_wide(std::string_view text);

// Converts to the given code page. Outside Windows the ANSI code page is UTF-8.
[[nodiscard]] std::string wide_to_narrow(std::wstring_view text, unsigned code_page);
[[nodiscard]] std::string wide_to_utf8(std::wstring_view text);

} // namespace qz4
