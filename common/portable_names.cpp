#include "common/portable_names.hpp"

#include "common/ascii_text.hpp"

#include <array>
#include <string>

namespace qz4 {

namespace {

bool is_surrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

// Every character a valid code point; in UTF-16, every surrogate one half of a pair.
bool is_unicode(std::wstring_view name) {
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<char32_t>(name[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            if (c >= 0xDC00 && c <= 0xDFFF)
                return false;
            if (c >= 0xD800 && c <= 0xDBFF) {
                if (i + 1 == name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF)
                    return false;
                ++i;
            }
        } else if (is_surrogate(c) || c > 0x10FFFF) {
            return false;
        }
    }
    return true;
}

// The digits Windows accepts after COM and LPT: 0 to 9 and the superscripts one to three.
bool is_port_digit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || c == L'\u00B9' || c == L'\u00B2' || c == L'\u00B3';
}

// Windows reads a device name before the first dot, blanks before the dot ignored, so
// "NUL", "nul.txt" and "Nul .tar.gz" all open the null device.
bool is_device_name(std::wstring_view name) {
    std::wstring_view stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ')
        stem.remove_suffix(1);
    const std::wstring lower = to_lower(stem);
    static constexpr std::array<std::wstring_view, 6> devices = {L"con", L"prn",    L"aux",
                                                                 L"nul", L"conin$", L"conout$"};
    for (const auto device : devices) {
        if (lower == device)
            return true;
    }
    return lower.size() == 4 && (lower.starts_with(L"com") || lower.starts_with(L"lpt")) &&
           is_port_digit(lower[3]);
}

} // namespace

name_fault windows_name_fault(std::wstring_view name) {
    if (name.empty())
        return name_fault::empty;
    if (!is_unicode(name))
        return name_fault::not_unicode;
    for (const wchar_t c : name) {
        if (c == L'\\' || c == L'/')
            return name_fault::separator;
        if (std::wstring_view(L":<>\"|?*").find(c) != std::wstring_view::npos)
            return name_fault::reserved_character;
        if (c < 0x20)
            return name_fault::control_character;
    }
    // Windows drops them when it opens the name, which then names another file; "." and ".."
    // end in a dot as well.
    if (name.back() == L'.' || name.back() == L' ')
        return name_fault::trailing_dot_or_space;
    if (is_device_name(name))
        return name_fault::device_name;
    return name_fault::none;
}

const char* name_fault_text(name_fault fault) {
    switch (fault) {
    case name_fault::none:
        return "a name Windows can hold";
    case name_fault::empty:
        return "the name is empty";
    case name_fault::separator:
        return "the name holds a path separator (\\ or /)";
    case name_fault::reserved_character:
        return "the name holds one of : < > \" | ? *";
    case name_fault::control_character:
        return "the name holds a control character";
    case name_fault::trailing_dot_or_space:
        return "the name ends in a dot or a space";
    case name_fault::device_name:
        return "the name is a Windows device name";
    case name_fault::not_unicode:
        return "the name is not valid Unicode text (UTF-8 or UTF-16)";
    }
    return "the name cannot be used";
}

} // namespace qz4
