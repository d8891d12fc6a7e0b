#include "common/portable_names.hpp"

#include "common/encoding.hpp"

#include <gtest/gtest.h>

#include <string>

namespace qz4 {
namespace {

// One table on every host: the names a POSIX publisher may have that Windows cannot hold.
TEST(PortableNames, WhatWindowsCannotHold) {
    struct row {
        std::wstring name;
        name_fault fault;
    };
    const row rows[] = {
        {L"Game.exe", name_fault::none},
        {L"#1 100% \u00FC~+&=.txt", name_fault::none},
        {L"\u0414\u0430\u043D\u043D\u044B\u0435", name_fault::none},
        {L"\U0001F600.png", name_fault::none}, // a pair in UTF-16
        {L" leading space", name_fault::none},
        {L".cfg", name_fault::none},
        {L"nullable.txt", name_fault::none},
        {L"console", name_fault::none},
        {L"com", name_fault::none},
        {L"com10", name_fault::none},
        {L"lpt\u2074", name_fault::none}, // superscript four is no port
        {L".nul", name_fault::none},
        {L"", name_fault::empty},
        {L"..\\signing.key", name_fault::separator},
        {L"a/b", name_fault::separator},
        {L"a:b", name_fault::reserved_character},
        {L"C:", name_fault::reserved_character},
        {L"a<b", name_fault::reserved_character},
        {L"a>b", name_fault::reserved_character},
        {L"say \"hi\"", name_fault::reserved_character},
        {L"a|b", name_fault::reserved_character},
        {L"what?.txt", name_fault::reserved_character},
        {L"*.txt", name_fault::reserved_character},
        {L"tab\there", name_fault::control_character},
        {L"\x1B[31mred", name_fault::control_character},
        {std::wstring(L"nul\x1F"), name_fault::control_character},
        {L"trailing.", name_fault::trailing_dot_or_space},
        {L"trailing ", name_fault::trailing_dot_or_space},
        {L".", name_fault::trailing_dot_or_space},
        {L"..", name_fault::trailing_dot_or_space},
        {L"...", name_fault::trailing_dot_or_space},
        {L"nul", name_fault::device_name},
        {L"NUL", name_fault::device_name},
        {L"nul.txt", name_fault::device_name},
        {L"Nul .tar.gz", name_fault::device_name},
        {L"con", name_fault::device_name},
        {L"PRN.log", name_fault::device_name},
        {L"aux.h", name_fault::device_name},
        {L"com1", name_fault::device_name},
        {L"COM9.txt", name_fault::device_name},
        {L"com0", name_fault::device_name},
        {L"lpt5.log", name_fault::device_name},
        {L"com\u00B9", name_fault::device_name},
        {L"LPT\u00B2.txt", name_fault::device_name},
        {L"lpt\u00B3", name_fault::device_name},
        {L"conin$", name_fault::device_name},
        {L"CONOUT$.txt", name_fault::device_name},
        {std::wstring(1, static_cast<wchar_t>(0xD800)) + L"a", name_fault::not_unicode},
        {L"a" + std::wstring(1, static_cast<wchar_t>(0xDC00)), name_fault::not_unicode},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(wide_to_utf8(r.name));
        EXPECT_EQ(windows_name_fault(r.name), r.fault) << name_fault_text(windows_name_fault(r.name));
    }
}

} // namespace
} // namespace qz4
