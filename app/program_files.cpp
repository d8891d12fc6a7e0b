#include "app/program_files.hpp"

namespace qz4 {

file_operations& program_file_operations() {
    return system_file_operations();
}

} // namespace qz4
