// The download stage of a pass: fetches each queued file from the host in use into the
// download area, checks its digest and hands it to the unpack stage; retries, stops when
// failures pile up, and draws the progress once the verification has finished.
#pragma once

#include "update/pass_state.hpp"

namespace qz4 {

// The body of the stage's thread; ends by itself (always in phase downloads_finished).
void download_worker(pass_context& context) noexcept;

} // namespace qz4
