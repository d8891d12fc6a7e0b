// The crash build's operation table: the system's, counted, with the process ended after
// the operation the environment names.
#include "app/program_files.hpp"
#include "tests/crash/counting_operations.hpp"

namespace qz4 {

file_operations& program_file_operations(const std::wstring& game_dir) {
    static test::kill_point counter;
    static const auto system = system_file_operations_below(game_dir);
    static test::counting_operations operations(*system, counter);
    return operations;
}

} // namespace qz4
