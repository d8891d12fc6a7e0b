// Reading and writing the program's JSON documents. Every document is written in one of two
// layouts with sorted keys and raw UTF-8, every line break CR LF, so that a document written
// on Linux is byte for byte the one written on Windows.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qz4 {

// Four-space indentation, one member or element per line, then one line break.
[[nodiscard]] std::string json_text_pretty(const nlohmann::json& value);
// No white space at all, then one line break.
[[nodiscard]] std::string json_text_compact(const nlohmann::json& value);

// Write the document beside `path` and rename it over the old one, so that a failed write
// never leaves a half-written document where a good one was. False when any step failed
// (the old document is then untouched and no temporary file is left).
[[nodiscard]] bool write_document_text(const std::wstring& path, std::string_view text);
[[nodiscard]] bool write_json_pretty(const std::wstring& path, const nlohmann::json& value);
[[nodiscard]] bool write_json_compact(const std::wstring& path, const nlohmann::json& value);

// The deepest nesting of arrays and objects we accept in a document. Copying, comparing and
// writing a value recurse once per level, so a document from a server or a hand-edited file
// nested a million levels deep would overflow the stack; ours never go beyond six.
inline constexpr std::size_t json_depth_limit = 100;

// Parses a whole document. Raises the library's exceptions: its parse error for malformed
// text and for nesting deeper than json_depth_limit, its out-of-range error for a number
// beyond the range of a double.
[[nodiscard]] nlohmann::json parse_json_text(std::string_view text);
// The same for a whole file; a file that cannot be read parses as empty text.
[[nodiscard]] nlohmann::json parse_json_file(const std::wstring& path);

// A member of an object, or null when it is absent or the value itself is null. Any other
// value raises the library's type error for operator[].
[[nodiscard]] const nlohmann::json& json_member(const nlohmann::json& object, std::string_view key);

// Numbers as every reader of our documents takes them: any JSON number (a floating value is
// truncated) or a boolean (0 or 1), reduced to the low 32 or 64 bits. Any other type raises
// the library's type error ("type must be number, but is ...").
[[nodiscard]] std::uint32_t json_number_u32(const nlohmann::json& value);
[[nodiscard]] std::uint64_t json_number_u64(const nlohmann::json& value);

// A count or size that a server sends, where a wrapped value would name another update or
// let a file grow past its cap: a whole number from 0 to 2^32 - 1 (a floating value only
// when it is whole, a boolean as 0 or 1). A negative, fractional or larger number raises the
// library's out-of-range error; another type its type error.
[[nodiscard]] std::uint32_t json_number_exact_u32(const nlohmann::json& value);

// The largest file size a document may carry. Sizes are added up (disk room, progress) and
// compared as 64-bit numbers, and no disk holds a file near this.
inline constexpr std::uint64_t largest_json_size = 0x7FFFFFFFFFFFFFFFULL;
// A file size that a server or a cache sends: a whole number from 0 to largest_json_size, under
// the same rules as json_number_exact_u32. A floating value far beyond 2^53 is whole, though
// maybe not the number written; the digests still tell a file of another size.
[[nodiscard]] std::uint64_t json_number_exact_size(const nlohmann::json& value);

} // namespace qz4
