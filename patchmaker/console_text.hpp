// How the patch maker's console shows what it prints: UTF-8 text, and paths in the form the
// publisher's system writes them.
#pragma once

#include <string>

namespace qz4 {

// Switches the console's output to UTF-8 for the lifetime of the object (Windows; elsewhere
// terminals take UTF-8 already) and restores what it was.
class utf8_console_output {
public:
    utf8_console_output();
    ~utf8_console_output();
    utf8_console_output(const utf8_console_output&) = delete;
    utf8_console_output& operator=(const utf8_console_output&) = delete;

private:
    unsigned previous_ = 0; // the code page to restore; 0 when nothing was changed
};

// A path as the publisher's system writes it: unchanged on Windows, with slashes elsewhere.
[[nodiscard]] std::wstring shown_path(const std::wstring& path);

} // namespace qz4
