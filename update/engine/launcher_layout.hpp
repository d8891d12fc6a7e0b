// Where a launcher keeps what it works with: its own executable and the names a self-update
// moves it through, the game directory, and the hidden per-product work area beside it.
// Pure path arithmetic; nothing here touches the disk.
#pragma once

#include <string>
#include <string_view>

namespace qz4 {

inline constexpr wchar_t work_area_name[] = L".temp";
inline constexpr wchar_t download_area_name[] = L"downloading";
inline constexpr wchar_t old_exe_prefix[] = L"old-";
inline constexpr wchar_t new_exe_prefix[] = L"new-";

// Known from the executable's path alone. A program started as old-<name> or new-<name> (a
// self-update cut between its renames, or a player who found only that file) is the
// launcher <name> all the same.
struct executable_layout {
    std::wstring exe_path;
    std::wstring old_exe_path; // the previous launcher, kept while the new one starts
    std::wstring new_exe_path; // a new launcher, written beside the running one
    std::wstring game_dir;     // index paths are relative to it
    std::wstring temp_root;    // the hidden work area
};
[[nodiscard]] executable_layout layout_for_executable(std::wstring_view exe_path);

// The product's own corner of the work area.
struct work_area_layout {
    std::wstring temp_dir;
    std::wstring download_dir;
    std::wstring version_json_path;
    std::wstring index_json_path;
    std::wstring index_lzma2_path;
    std::wstring cache_json_path;
    std::wstring config_json_path;
    std::wstring accepted_update_path; // the highest signed update taken, against rollbacks
    std::wstring held_index_path;      // which update index.json is, and how to ask for it again
    std::wstring unpacking_path;       // stands while unpacked copies of a pass may remain
};
[[nodiscard]] work_area_layout layout_for_product(std::wstring_view temp_root,
                                                  std::wstring_view product_guid);

} // namespace qz4
