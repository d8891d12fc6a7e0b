// The launcher never overwrites its own running executable: a new one is written beside it
// and swapped in by two renames after both stages have ended; the next start removes the
// old copy.
#pragma once

#include "update/engine/file_operations.hpp"
#include "update/engine/launcher_layout.hpp"

#include "update/documents/update_task.hpp"

namespace qz4 {

enum class self_update_result {
    nothing_to_do,
    swapped,     // the new launcher is at exe_path: restart it
    not_swapped, // a rename was refused; the running launcher is still at exe_path
};

// What a pass left for the self-update.
struct new_launcher {
    bool ready = false; // written to new_exe_path and checked
    update_task task;   // the digests it was checked against
};

// With a new launcher ready (and allowed), moves the running one to old_exe_path and the new
// one to exe_path; when the second rename fails, the running one goes back to exe_path, so
// the game is never left without its launcher. The new one is checked again through the
// handle it is moved through: a program that someone put at new_exe_path since the pass
// checked it is never started with the launcher's rights. Otherwise removes an old copy left
// by the previous self-update.
[[nodiscard]] self_update_result self_update_step(file_operations& files, const executable_layout& layout,
                                                  const new_launcher& waiting, bool allowed);

} // namespace qz4
