// POSIX stand-ins for the message boxes: the text goes to standard error, and the question
// is asked on the terminal (answered No when there is no terminal to ask on).
#include "app/message_box.hpp"

#include "common/encoding.hpp"
#include "common/terminal_status.hpp"

#include <cstdio>
#include <iostream>
#include <string>
#include <unistd.h>

namespace qz4 {

void system_error_box(const std::wstring& caption, const std::wstring& text) {
    const terminal_status_line::dialog_scope dialog;
    std::fprintf(stderr, "%s: %s\n", wide_to_utf8(caption).c_str(), wide_to_utf8(text).c_str());
    std::fflush(stderr);
}

bool system_yes_no_box(const std::wstring& caption, const std::wstring& text) {
    if (!::isatty(STDIN_FILENO))
        return false;
    const terminal_status_line::dialog_scope dialog;
    std::fprintf(stderr, "%s: %s [y/N] ", wide_to_utf8(caption).c_str(), wide_to_utf8(text).c_str());
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" || answer == "YES";
}

} // namespace qz4
