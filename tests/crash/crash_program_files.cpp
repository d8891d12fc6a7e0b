// The crash build's operation table: the system's, counted, with the process ended after
// the operation the environment names.
#include "app/program_files.hpp"
#include "tests/crash/counting_operations.hpp"

namespace qz4 {

file_operations& program_file_operations() {
    static test::kill_point counter;
    static test::counting_operations operations(system_file_operations(), counter);
    return operations;
}

} // namespace qz4
