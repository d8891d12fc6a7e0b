// POSIX entry point: the shell has already split the command line into argv.
#include "app/launcher_main.hpp"
#include "common/encoding.hpp"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::wstring> tokens;
    tokens.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i)
        tokens.push_back(qz4::utf8_to_wide(argv[i]));
    return qz4::run_program(tokens);
}
