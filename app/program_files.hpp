// The operation table through which the program's update engine changes the disk. The
// product links program_files.cpp (the system's own); a test build of the program links a
// definition of its own, to count the operations or stop the process at one of them.
#pragma once

#include "update/engine/file_operations.hpp"

#include <string>

namespace qz4 {

// The table for the files below `game_dir`, the folder of the launcher; one process has one,
// made by the first call.
[[nodiscard]] file_operations& program_file_operations(const std::wstring& game_dir);

} // namespace qz4
