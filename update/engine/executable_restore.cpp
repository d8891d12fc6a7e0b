#include "update/engine/executable_restore.hpp"

#include "common/file_system.hpp"

namespace qz4 {

restore_source restore_source_for(bool exe_there, bool new_there, bool old_there) {
    if (exe_there)
        return restore_source::none;
    if (new_there)
        return restore_source::new_copy;
    return old_there ? restore_source::old_copy : restore_source::none;
}

bool restore_executable(file_operations& files, const executable_layout& layout) {
    switch (restore_source_for(is_regular_file(layout.exe_path), is_regular_file(layout.new_exe_path),
                               is_regular_file(layout.old_exe_path))) {
    case restore_source::new_copy:
        return files.move_replace(layout.new_exe_path, layout.exe_path);
    case restore_source::old_copy:
        return files.move_replace(layout.old_exe_path, layout.exe_path);
    case restore_source::none:
        break;
    }
    return is_regular_file(layout.exe_path);
}

} // namespace qz4
