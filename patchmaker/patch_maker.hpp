// The publisher's tool: turns the client tree in "input" into the server tree in "output".
#pragma once

namespace qz4 {

// True when a run went through to the end, false when it stopped early.
[[nodiscard]] bool run_patch_maker();

} // namespace qz4
