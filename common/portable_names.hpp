// Names that every system the product runs on can hold. The patch maker may run on POSIX,
// whose names may hold what Windows either cannot store or reads as something else: a
// backslash is a separator in our Windows-form paths, "nul.txt" opens a device, "a:b" a
// stream of "a". Such a name must never reach a path, in either program.
#pragma once

#include <string_view>

namespace qz4 {

enum class name_fault {
    none,
    empty,
    separator,          // '\' or '/'
    reserved_character, // : < > " | ? *
    control_character,  // below U+0020
    trailing_dot_or_space,
    device_name, // CON, PRN, AUX, NUL, COM0-9, LPT0-9 (also ¹²³), CONIN$, CONOUT$, with any extension
    not_unicode, // a lone surrogate, or (set by the POSIX directory search) bytes that are not UTF-8
};

// Why Windows cannot hold `name` (one path component), or name_fault::none.
[[nodiscard]] name_fault windows_name_fault(std::wstring_view name);

// The reason in words, for the publisher's console.
[[nodiscard]] const char* name_fault_text(name_fault fault);

} // namespace qz4
