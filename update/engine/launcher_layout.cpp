#include "update/engine/launcher_layout.hpp"

#include "common/paths.hpp"

namespace qz4 {

namespace {

std::wstring without_swap_prefix(std::wstring name) {
    for (const std::wstring_view prefix : {old_exe_prefix, new_exe_prefix})
        if (name.size() > prefix.size() && name.starts_with(prefix))
            return name.substr(prefix.size());
    return name;
}

} // namespace

executable_layout layout_for_executable(std::wstring_view exe_path) {
    executable_layout layout;
    layout.game_dir = parent_directory(exe_path);
    layout.temp_root = join_path(layout.game_dir, work_area_name);
    const std::wstring name = without_swap_prefix(file_name_of(exe_path));
    layout.exe_path = join_path(layout.game_dir, name);
    layout.old_exe_path = join_path(layout.game_dir, old_exe_prefix + name);
    layout.new_exe_path = join_path(layout.game_dir, new_exe_prefix + name);
    return layout;
}

work_area_layout layout_for_product(std::wstring_view temp_root, std::wstring_view product_guid) {
    work_area_layout layout;
    layout.temp_dir = join_path(temp_root, product_guid);
    layout.download_dir = join_path(layout.temp_dir, download_area_name);
    layout.version_json_path = join_path(layout.temp_dir, L"version.json");
    layout.index_json_path = join_path(layout.temp_dir, L"index.json");
    layout.index_lzma2_path = join_path(layout.temp_dir, L"index.json.lzma2");
    layout.cache_json_path = join_path(layout.temp_dir, L"cache.json");
    layout.config_json_path = join_path(layout.temp_dir, L"config.json");
    layout.accepted_update_path = join_path(layout.temp_dir, L"accepted.json");
    layout.held_index_path = join_path(layout.temp_dir, L"held_index.json");
    layout.unpacking_path = join_path(layout.temp_dir, L"unpacking.json");
    return layout;
}

} // namespace qz4
