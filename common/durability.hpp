// Written data sits in the system's cache for a while before it reaches the disk. A record
// that vouches for a file (the launcher's file cache, a swapped executable) must not outlive
// a power loss that the file itself does not survive.
#pragma once

#include <string>

namespace qz4 {

// Writes to disk what the system still holds for the volume that contains `path` (a file or
// directory on it). One call covers every file written before it, which is far cheaper than
// flushing each file. False when the system refused (on Windows, flushing a volume needs
// administrator rights) or the volume cannot be reached.
[[nodiscard]] bool flush_volume_of(const std::wstring& path);

// Writes one file's data to disk; false when it cannot be opened or flushed.
[[nodiscard]] bool flush_file(const std::wstring& path);

} // namespace qz4
