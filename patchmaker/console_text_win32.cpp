#include "patchmaker/console_text.hpp"

#include <windows.h>

namespace qz4 {

utf8_console_output::utf8_console_output() {
    const UINT current = ::GetConsoleOutputCP();
    // Without a console there is nothing to switch (output goes to a file or a pipe).
    if (current != 0 && current != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8) != FALSE)
        previous_ = current;
}

utf8_console_output::~utf8_console_output() {
    if (previous_ != 0)
        ::SetConsoleOutputCP(previous_);
}

std::wstring shown_path(const std::wstring& path) {
    return path;
}

} // namespace qz4
