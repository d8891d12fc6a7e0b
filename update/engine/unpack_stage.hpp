// The unpack stage of a pass: turns each verified download into the installed file (packed
// files unpacked beside their destination and checked again), renames it into place and
// records it in the file cache.
#pragma once

#include "update/engine/pass_state.hpp"

namespace qz4 {

// The body of the stage's thread; ends by itself (always in phase unpacks_finished).
void unpack_worker(pass_context& context) noexcept;

} // namespace qz4
