#include "update/engine/self_update.hpp"

#include "common/byte_buffer.hpp"
#include "common/file_system.hpp"
#include "update/engine/engine_files.hpp"

namespace qz4 {

self_update_result self_update_step(file_operations& files, const executable_layout& layout,
                                    const new_launcher& waiting, bool allowed) {
    if (!waiting.ready || !allowed) {
        if (is_regular_file(layout.old_exe_path))
            files.delete_file(layout.old_exe_path);
        return self_update_result::nothing_to_do;
    }
    if (!is_regular_file(layout.new_exe_path))
        return self_update_result::nothing_to_do;
    byte_buffer buffer;
    digest_context digests;
    const checked_file checked = open_checked(files, layout.new_exe_path, waiting.task, digests, buffer);
    if (!checked.file)
        return self_update_result::not_swapped;
    if (!files.move_replace(layout.exe_path, layout.old_exe_path))
        return self_update_result::not_swapped;
    if (checked.file->move_over(layout.exe_path))
        return self_update_result::swapped;
    // Refused: exe_path is free, and a launcher must be found there next time.
    (void)files.move_replace(layout.old_exe_path, layout.exe_path);
    return self_update_result::not_swapped;
}

} // namespace qz4
