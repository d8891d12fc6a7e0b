// Windows: a GUI program has no console of its own; the patch maker gets a new one and the C
// runtime's standard output is pointed at it.
#include "app/console.hpp"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace qz4 {

void open_console_for_output() {
    ::AllocConsole();
    std::FILE* reopened = nullptr;
    if (::freopen_s(&reopened, "CONOUT$", "w", stdout) != 0)
        return; // nowhere to print; the patch maker still runs
}

void pause_console() {
    std::fflush(stdout);
    std::system("pause");
}

} // namespace qz4
