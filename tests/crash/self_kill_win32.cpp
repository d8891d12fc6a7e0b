#include "tests/crash/self_kill.hpp"

#include <cstdlib>
#include <windows.h>

namespace qz4::test {

void end_this_process_now() {
    ::TerminateProcess(::GetCurrentProcess(), 137);
    std::abort(); // not reached: the call does not return for the current process
}

} // namespace qz4::test
