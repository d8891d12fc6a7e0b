// printf-style formatting with the conventions of the Microsoft C library, which every text
// of this program is written in, on every platform:
//   wide formats:   %s takes const wchar_t*, %S takes const char*, %c wchar_t, %C char;
//   narrow formats: %s takes const char*,    %S takes const wchar_t*, %c char, %C wchar_t.
// Numbers follow the C standard (flags, width, precision, hh/h/l/ll/z/j/t length).
// The result is never truncated.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <span>
#include <string>

namespace qz4 {

[[nodiscard]] std::wstring format_wide(const wchar_t* format, ...);
[[nodiscard]] std::string format_narrow(const char* format, ...);

// A size for people: bytes below 1 KiB, otherwise one decimal of the largest binary unit
// that keeps the number below 1024 ("300.5 MiB", "1.2 GiB"), rounded to the nearest tenth.
[[nodiscard]] std::wstring format_byte_size(std::uint64_t bytes);

// Two lower-case hex digits per byte, zero-padded ("0a", never "a" or "0A").
[[nodiscard]] std::string lower_hex_text(std::span<const std::uint8_t> bytes);

[[nodiscard]] std::wstring vformat_wide(const wchar_t* format, std::va_list args);
[[nodiscard]] std::string vformat_narrow(const char* format, std::va_list args);

} // namespace qz4
