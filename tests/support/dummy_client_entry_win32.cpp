// Windows entry of the stand-in client: the C runtime splits the wide command line as any
// game client's runtime would, and the raw command line is recorded beside the result.
#include "common/encoding.hpp"
#include "tests/support/dummy_client.hpp"

#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.push_back(qz4::wide_to_utf8(argv[i]));
    return qz4::test::run_dummy_client(arguments, qz4::wide_to_utf8(::GetCommandLineW()));
}
