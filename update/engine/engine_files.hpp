// The engine's three ways of producing a file, each through the operation table and each
// with a hard cap on what it writes: a download, an unpacked packed file and a document.
// On failure nothing partial is left at the path. And the check of a file just before it is
// put in place, through the handle it is moved through.
#pragma once

#include "common/byte_buffer.hpp"
#include "common/file_digests.hpp"
#include "net/downloader.hpp"
#include "update/documents/update_task.hpp"
#include "update/engine/file_operations.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace qz4 {

// Fetches what `request` asks for into `path`; its body cap keeps a server from filling the
// disk. A failed result says why (open_failed with "Open failed: %u", the transfer's own
// failure, or write_refused for bytes lost when the file closed) and leaves nothing at `path`.
// With `digests`, what was written is hashed into them from their start, on the way rather
// than by reading it again; finish() then gives its texts (as file_digests would give them).
[[nodiscard]] transfer_result download_to_file(downloader& transfer, file_operations& files,
                                               const transfer_request& request, const std::wstring& path,
                                               digest_context* digests = nullptr);

// The text of a download that failed: the transfer's own, or (a transfer that went through)
// a write lost when the file closed.
[[nodiscard]] std::string download_failure_text(const transfer_result& result);
// The text of a download whose file could not be created.
[[nodiscard]] std::string open_failure_text(std::uint32_t error);

// Unpacks the packed file `source` into `target`, refusing more than `limit` bytes of output.
// Returns the codec's result (lzma2_result); write_error also for output beyond the limit.
// With `digests`, as above.
[[nodiscard]] int unpack_to_file(file_operations& files, const std::wstring& source,
                                 const std::wstring& target, std::uint64_t limit,
                                 digest_context* digests = nullptr);

// A file opened to be put in place and hashed through that handle: whoever may write in the
// folder, the bytes moved into place are the bytes hashed.
struct checked_file {
    std::unique_ptr<file_to_place> file; // null: not opened, not read, or other digests
    std::array<std::uint8_t, 4> start{}; // its first bytes (zeros beyond a shorter file)
};
// Opens `path` to be placed (the buffer and the context serve the reads) and keeps it open
// when its digests are those the task expects of the installed file.
[[nodiscard]] checked_file open_checked(file_operations& files, const std::wstring& path,
                                        const update_task& task, digest_context& digests,
                                        byte_buffer& buffer);

// Where a document is made before it replaces the one at `path`.
[[nodiscard]] std::wstring arriving_path(const std::wstring& path);

// Renames the finished `arriving` over `path`, or, when that is refused, discards it: a
// document is replaced whole or not at all. False when `path` was not replaced.
[[nodiscard]] bool replace_document(file_operations& files, const std::wstring& arriving,
                                    const std::wstring& path);

// Writes the text beside `path` and renames it over the old document, so that a failed write
// never leaves a half-written document where a good one was.
[[nodiscard]] bool write_document(file_operations& files, const std::wstring& path, std::string_view text);

// Whether the file at `path` holds exactly `text` (never for an empty text).
[[nodiscard]] bool document_holds(const std::wstring& path, std::string_view text);
// write_document, unless the document already says it: an unchanged start writes nothing.
[[nodiscard]] bool update_document(file_operations& files, const std::wstring& path, std::string_view text);

} // namespace qz4
