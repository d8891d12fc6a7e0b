// Ends the calling process at once, with no clean-up of any kind: no destructors, no
// buffers flushed, no files closed by the program.
#pragma once

namespace qz4::test {

[[noreturn]] void end_this_process_now();

} // namespace qz4::test
