// Windows half of the text conversions, through the system converters. Each conversion is
// sized by a first call, so texts of any length convert in full.
#include "common/encoding.hpp"

#include <windows.h>

#include <climits>
#include <stdexcept>

namespace qz4 {

namespace {

// The converters take int lengths; no text this program handles comes near that.
int checked_length(std::size_t size) {
    if (size > static_cast<std::size_t>(INT_MAX))
        throw std::length_error("text too long to convert");
    return static_cast<int>(size);
}

// The result ends at the first zero character, as it would in a C string. A zero byte
// never occurs inside a multi-byte sequence, so cutting the input there is the same.
template <typename Char> std::basic_string_view<Char> up_to_first_zero(std::basic_string_view<Char> text) {
    const std::size_t zero = text.find(Char(0));
    return zero == std::basic_string_view<Char>::npos ? text : text.substr(0, zero);
}

} // namespace

std::wstring utf8_to_wide(std::string_view text) {
    text = up_to_first_zero(text);
    if (text.empty())
        return {};
    const int length = checked_length(text.size());
    // No flags: invalid sequences become U+FFFD instead of failing the conversion.
    const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (needed <= 0)
        return {};
    std::wstring result(static_cast<std::size_t>(needed), L'\0');
    const int written = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, result.data(), needed);
    result.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return result;
}

std::string wide_to_narrow(std::wstring_view text, unsigned code_page) {
    text = up_to_first_zero(text);
    if (text.empty())
        return {};
    const int length = checked_length(text.size());
    const int needed = ::WideCharToMultiByte(code_page, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return {};
    std::string result(static_cast<std::size_t>(needed), '\0');
    const int written =
        ::WideCharToMultiByte(code_page, 0, text.data(), length, result.data(), needed, nullptr, nullptr);
    result.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return result;
}

std::string wide_to_utf8(std::wstring_view text) {
    return wide_to_narrow(text, CP_UTF8);
}

} // namespace qz4
