#include "update/engine/unpack_leftovers.hpp"

#include "common/durability.hpp"
#include "common/file_system.hpp"
#include "common/paths.hpp"
#include "update/engine/engine_files.hpp"
#include "update/engine/file_operations.hpp"

#include <string_view>

namespace qz4 {

namespace {

constexpr std::string_view marker_text = "{\"unpacking\":true}";

} // namespace

unpack_leftovers::unpack_leftovers(file_operations& files, std::wstring marker_path)
    : files_(files), marker_path_(std::move(marker_path)) {
    // Whatever stands at the marker's name, readable or not, may be a marker.
    may_remain_ = read_file_attributes(marker_path_).has_value();
}

void unpack_leftovers::note_unpacking() {
    std::call_once(noted_, [this] {
        if (may_remain_)
            return; // the marker stands already
        // On disk before the copy it speaks for: a power cut must not keep the copy and lose
        // the marker. A marker that could not be written costs a leftover at worst.
        written_ = write_document(files_, marker_path_, marker_text);
        if (written_) {
            // Only the marker and its name: a flush of the volume would also wait for every
            // download written so far.
            (void)flush_file(marker_path_);
            (void)flush_file(parent_directory(marker_path_));
        }
    });
}

void unpack_leftovers::settle(bool clean) {
    if (clean && (may_remain_ || written_))
        files_.delete_file(marker_path_);
}

} // namespace qz4
