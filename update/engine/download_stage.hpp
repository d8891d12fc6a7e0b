// The download stage of a pass: up to `connections` transfers at once, each on a thread of
// its own with a downloader of its own, fetch the queued files from the host in use into the
// download area (continuing what an earlier attempt left), check their digests and hand them
// to the unpack stage; failed files are retried, the stage stops when failures pile up, and
// the progress over all transfers is drawn once the verification has finished.
#pragma once

#include "update/engine/pass_state.hpp"

namespace qz4 {

// The body of the stage's thread; ends by itself (always in phase downloads_finished) once
// every transfer has ended.
void download_worker(pass_context& context) noexcept;

} // namespace qz4
