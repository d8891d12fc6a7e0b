// Text helpers shared by the launcher and the patch maker. All folding is ASCII-only (A-Z),
// so results never depend on the user's locale.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qz4 {

[[nodiscard]] std::wstring to_lower(std::wstring_view text);
[[nodiscard]] std::string to_lower(std::string_view text);

// Same length and equal after ASCII folding.
[[nodiscard]] bool equals_ci(std::string_view a, std::string_view b);
[[nodiscard]] bool equals_ci(std::wstring_view a, std::wstring_view b);

// Case-sensitive; false when the suffix is longer than the text.
[[nodiscard]] bool ends_with(std::string_view text, std::string_view suffix);
// After ASCII folding of both; false when the suffix is longer than the text.
[[nodiscard]] bool ends_with_ci(std::wstring_view text, std::wstring_view suffix);

// Replaces every occurrence scanning left to right; the inserted text is not scanned again.
// An empty search text returns the input unchanged.
[[nodiscard]] std::wstring replace_all(std::wstring_view text, std::wstring_view search,
                                       std::wstring_view replacement);

// Removes iswspace() characters from both ends, in place.
void trim(std::wstring& text);
// Without the spaces, tabs and line ends at either end.
[[nodiscard]] std::string_view trimmed(std::string_view text);

// Puts the separator before an element only when the text built so far is not empty.
[[nodiscard]] std::wstring join_strings(const std::vector<std::wstring>& parts, std::wstring_view separator);

// The pieces between backslashes, empty pieces included.
[[nodiscard]] std::vector<std::wstring> split_at_backslashes(std::wstring_view text);

} // namespace qz4
