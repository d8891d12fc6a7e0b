#include "app/program_files.hpp"

namespace qz4 {

file_operations& program_file_operations(const std::wstring& game_dir) {
    static const auto operations = system_file_operations_below(game_dir);
    return *operations;
}

} // namespace qz4
