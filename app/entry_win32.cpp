// Windows entry point of the GUI-subsystem program. The command line is split by the
// program's own rules, not the C runtime's, so it is read whole from the system.
#include "app/command_line.hpp"
#include "app/launcher_main.hpp"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*command_line*/, int /*show*/) {
    return qz4::run_program(qz4::split_command_line(::GetCommandLineW()));
}
