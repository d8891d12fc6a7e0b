#include "update/engine/work_area.hpp"

#include "common/file_system.hpp"

namespace qz4 {

bool prepare_work_area(file_operations& files, const std::wstring& temp_root, const work_area_layout& area) {
    if (!files.create_private_directory(temp_root) || !files.create_private_directory(area.temp_dir))
        return false;
    set_hidden_attribute(temp_root);
    // Only a link: a download area of files goes only when a run has used them all, since a
    // later run continues the copies it holds.
    if (const auto attributes = read_file_attributes(area.download_dir);
        attributes && attributes->reparse_point)
        files.remove_directory(area.download_dir, true);
    return true;
}

} // namespace qz4
