// A download of a server file into the download area that survives interruption: a large
// file's partial copy is kept, with a proof of which server file it belongs to, and the next
// attempt (in this run or a later one) asks the server only for the rest.
#pragma once

#include "common/byte_buffer.hpp"
#include "common/file_digests.hpp"
#include "net/downloader.hpp"
#include "update/engine/file_operations.hpp"

#include <cstdint>
#include <string>

namespace qz4 {

// Smaller files are fetched whole every time: fetching them again costs less than keeping
// a proof for each.
inline constexpr std::uint64_t resumable_file_size = 1024 * 1024;

// A server file as the download stage fetches it.
struct server_file {
    std::string url;
    std::string remote_path; // the index's `r`: which file of which update
    std::string sha1;        // the digest the downloaded file must have
    std::string sha256;      // and its SHA-256, where the launcher checks one; else empty
    std::uint64_t size = 0;  // the index's `r_size`: never more is written
};

// Where the proof of a partial copy at `download_path` is kept.
[[nodiscard]] std::wstring resume_proof_path(const std::wstring& download_path);

// Deletes the copy at `download_path` and its proof: finished, or known to be wrong.
void forget_download(file_operations& files, const std::wstring& download_path);

class resumable_download {
public:
    // The file is hashed into `digests`, with the kinds they are set to.
    // `keep`: hold the file for placing when it is fetched whole (see take_kept).
    resumable_download(downloader& transfer, file_operations& files, std::wstring path, server_file file,
                       byte_buffer& buffer, digest_context& digests, bool keep = false);

    // Fetches the file into the path under the terms (time-outs, stall floor, progress; the
    // URL, range and cap are the file's), continuing a partial copy of the same server file
    // when the server answers the range request with that range; otherwise from the start. On
    // success `digests` are the digest texts of the whole file. On failure `error` says why
    // ("Open failed: %u", "Too large: more than %llu bytes" or the downloader's text), and a
    // partial copy worth continuing is kept with its proof; anything else is deleted.
    [[nodiscard]] bool run(const transfer_request& terms, std::string& error, digest_texts& digests);

    // The bytes already on disk that the running transfer continues (0 when from the start);
    // for the progress reports, which count only the bytes of the transfer.
    [[nodiscard]] std::uint64_t continued_from() const { return continued_from_; }

    // After a run that fetched the whole file in one transfer, when the table offers it: the
    // file held to be placed through the handle it was written and hashed through (see
    // output_file::keep_to_place); null otherwise. Holding it keeps the file open (on Windows,
    // shut to other writers), so the caller keeps only as many as it can afford.
    [[nodiscard]] std::unique_ptr<file_to_place> take_kept() { return std::move(kept_); }

private:
    enum class outcome { done, failed, range_refused };

    [[nodiscard]] std::uint64_t partial_to_continue();
    [[nodiscard]] std::string proof_text() const;
    void write_proof();
    outcome transfer(const transfer_request& terms, std::uint64_t offset, std::string& error,
                     digest_texts& digests);

    downloader& transfer_;
    file_operations& files_;
    std::wstring path_;
    server_file file_;
    byte_buffer& buffer_;
    digest_context& digests_;
    std::uint64_t continued_from_ = 0; // the thread of run() only (progress runs inside it)
    bool keep_;
    std::unique_ptr<file_to_place> kept_;
};

} // namespace qz4
