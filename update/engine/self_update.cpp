#include "update/engine/self_update.hpp"

#include "common/file_system.hpp"

namespace qz4 {

self_update_result self_update_step(file_operations& files, const executable_layout& layout,
                                    bool new_launcher_ready, bool allowed) {
    if (!new_launcher_ready || !allowed) {
        if (is_regular_file(layout.old_exe_path))
            files.delete_file(layout.old_exe_path);
        return self_update_result::nothing_to_do;
    }
    if (!is_regular_file(layout.new_exe_path))
        return self_update_result::nothing_to_do;
    if (!files.move_replace(layout.exe_path, layout.old_exe_path))
        return self_update_result::not_swapped;
    if (files.move_replace(layout.new_exe_path, layout.exe_path))
        return self_update_result::swapped;
    // Refused: exe_path is free, and a launcher must be found there next time.
    (void)files.move_replace(layout.old_exe_path, layout.exe_path);
    return self_update_result::not_swapped;
}

} // namespace qz4
