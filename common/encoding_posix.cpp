// POSIX half of the text conversions: wide strings are UTF-32 here, and every narrow code
// page (the ANSI one included) is UTF-8.
#include "common/encoding.hpp"

#include <cstdint>

namespace qz4 {

namespace {

constexpr char32_t replacement_character = 0xFFFD;

// Length of the well-formed sequence that starts with `lead`, 0 for a byte that cannot
// start one. Overlong forms, surrogates and values above U+10FFFF are rejected by the
// bounds on the second byte, as the Unicode standard's table of well-formed sequences does.
struct lead_info {
    int length;
    unsigned char second_low;
    unsigned char second_high;
};

lead_info describe_lead(unsigned char lead) {
    if (lead < 0x80)
        return {1, 0, 0};
    if (lead >= 0xC2 && lead <= 0xDF)
        return {2, 0x80, 0xBF};
    if (lead == 0xE0)
        return {3, 0xA0, 0xBF};
    if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF)
        return {3, 0x80, 0xBF};
    if (lead == 0xED)
        return {3, 0x80, 0x9F};
    if (lead == 0xF0)
        return {4, 0x90, 0xBF};
    if (lead >= 0xF1 && lead <= 0xF3)
        return {4, 0x80, 0xBF};
    if (lead == 0xF4)
        return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

// Decodes one character at `i`, advancing past it. An ill-formed sequence yields U+FFFD and
// advances past its maximal well-formed prefix (at least one byte).
char32_t decode_one(std::string_view text, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const lead_info info = describe_lead(lead);
    if (info.length == 1) {
        ++i;
        return lead;
    }
    if (info.length == 0) {
        ++i;
        return replacement_character;
    }
    char32_t value = lead & (0xFF >> (info.length + 1));
    std::size_t at = i + 1;
    for (int k = 1; k < info.length; ++k, ++at) {
        if (at >= text.size()) {
            i = at;
            return replacement_character;
        }
        const auto byte = static_cast<unsigned char>(text[at]);
        const unsigned char low = k == 1 ? info.second_low : 0x80;
        const unsigned char high = k == 1 ? info.second_high : 0xBF;
        if (byte < low || byte > high) {
            i = at;
            return replacement_character;
        }
        value = (value << 6) | (byte & 0x3F);
    }
    i = at;
    return value;
}

void append_utf8(std::string& out, char32_t c) {
    if (c >= 0xD800 && c <= 0xDFFF)
        c = replacement_character;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c <= 0x10FFFF) {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        append_utf8(out, replacement_character);
    }
}

} // namespace

std::wstring utf8_to_wide(std::string_view text) {
    std::wstring result;
    result.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const char32_t c = decode_one(text, i);
        if (c == 0)
            break; // the text ends at its first zero, as a C string would
        result.push_back(static_cast<wchar_t>(c));
    }
    return result;
}

std::string wide_to_narrow(std::wstring_view text, unsigned /*code_page*/) {
    std::string result;
    result.reserve(text.size());
    for (const wchar_t c : text) {
        if (c == 0)
            break;
        append_utf8(result, static_cast<char32_t>(c));
    }
    return result;
}

std::string wide_to_utf8(std::wstring_view text) {
    return wide_to_narrow(text, code_page_utf8);
}

} // namespace qz4
