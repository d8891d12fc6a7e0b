// The launcher's work area beside the game: ".temp" and the product's folder in it, which
// hold the documents the update trusts and the downloads before they are checked. Only
// administrators and the system may change them, so that nobody who may write in the
// game's folder can swap a download or lead the launcher's deletions elsewhere.
#pragma once

#include "update/engine/file_operations.hpp"
#include "update/engine/launcher_layout.hpp"

#include <string>

namespace qz4 {

// Makes (or secures again) both folders; a link at either name is removed, never followed,
// and the folder made in its place. A download area that is a link goes too (the download
// stage makes the folder again). False when the area must not be used.
[[nodiscard]] bool prepare_work_area(file_operations& files, const std::wstring& temp_root,
                                     const work_area_layout& area);

} // namespace qz4
