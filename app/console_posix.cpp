#include "app/console.hpp"

#include <cstdio>
#include <iostream>
#include <string>
#include <unistd.h>

namespace qz4 {

void open_console_for_output() {}

void pause_console() {
    std::fputs("Press any key to continue . . . ", stdout);
    std::fflush(stdout);
    // Without a terminal nobody could press a key; do not wait for one.
    if (::isatty(STDIN_FILENO)) {
        std::string line;
        std::getline(std::cin, line);
    }
    std::fputs("\n", stdout);
    std::fflush(stdout);
}

} // namespace qz4
