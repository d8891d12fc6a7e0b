// Windows entry point of the GUI-subsystem program. The command line is split by the
// program's own rules, not the C runtime's, so it is read whole from the system.
#include "app/command_line.hpp"
#include "app/launcher_main.hpp"

#include <windows.h>

namespace {

// The launcher runs with administrator rights from a folder that users may write in: a DLL
// put beside it must never be loaded in place of the system's. From here on the libraries
// loaded later (by name, and those they import; also the delay-loaded imports of
// cmake/delay_load.cmake) come from the system folder only. The call came with an update of
// Windows 7; without it, that system keeps its own search order.
void load_libraries_from_the_system_folder_only() {
    using set_directories_fn = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr)
        return;
    // Through a generic function pointer: casting FARPROC directly draws a type warning.
    const auto generic = reinterpret_cast<void (*)()>(::GetProcAddress(kernel, "SetDefaultDllDirectories"));
    if (const auto set_directories = reinterpret_cast<set_directories_fn>(generic))
        set_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

} // namespace

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*command_line*/, int /*show*/) {
    load_libraries_from_the_system_folder_only();
    return qz4::run_program(qz4::split_command_line(::GetCommandLineW()));
}
