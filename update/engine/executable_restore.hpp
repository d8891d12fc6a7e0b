// A launcher whose own file is missing at start-up: a self-update was cut between its two
// renames, or the player started the copy a self-update left as new-<name> or old-<name>.
// The file is put back before anything else, so that the game never stays without its
// launcher and the update runs from the launcher's own name.
#pragma once

#include "update/engine/file_operations.hpp"
#include "update/engine/launcher_layout.hpp"

namespace qz4 {

enum class restore_source {
    none,     // exe_path is there, or nothing is left to restore it from
    new_copy, // new-<name>: only ever a launcher that was fully written and checked
    old_copy, // old-<name>: the launcher that ran before the swap
};

[[nodiscard]] restore_source restore_source_for(bool exe_there, bool new_there, bool old_there);

// Moves the chosen copy to exe_path. True when exe_path holds a launcher afterwards.
bool restore_executable(file_operations& files, const executable_layout& layout);

} // namespace qz4
