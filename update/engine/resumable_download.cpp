#include "update/engine/resumable_download.hpp"

#include "common/file_handle.hpp"
#include "common/file_system.hpp"
#include "common/format.hpp"
#include "update/engine/beside_hashing_sink.hpp"
#include "update/engine/engine_files.hpp"
#include "update/engine/engine_sinks.hpp"

#include <optional>
#include <string_view>

namespace qz4 {

namespace {

constexpr std::uint32_t largest_proof = 4096;

} // namespace

std::wstring resume_proof_path(const std::wstring& download_path) {
    return download_path + L".resume";
}

void forget_download(file_operations& files, const std::wstring& download_path) {
    files.delete_file(download_path);
    files.delete_file(resume_proof_path(download_path));
}

resumable_download::resumable_download(downloader& transfer, file_operations& files, std::wstring path,
                                       server_file file, byte_buffer& buffer, digest_context& digests,
                                       bool keep)
    : transfer_(transfer), files_(files), path_(std::move(path)), file_(std::move(file)), buffer_(buffer),
      digests_(digests), keep_(keep) {}

bool resumable_download::run(const transfer_request& terms, std::string& error, digest_texts& digests) {
    const bool resumable = file_.size >= resumable_file_size;
    if (const std::uint64_t offset = resumable ? partial_to_continue() : 0; offset > 0) {
        const outcome result = transfer(terms, offset, error, digests);
        if (result != outcome::range_refused)
            return result == outcome::done;
    }
    if (resumable)
        write_proof();
    return transfer(terms, 0, error, digests) == outcome::done;
}

// The SHA-256 line only where the launcher checks one: a launcher without keys keeps the
// proofs it wrote before.
std::string resumable_download::proof_text() const {
    const std::string sha256 = file_.sha256.empty() ? std::string() : "sha256=" + file_.sha256 + "\n";
    return format_narrow("partial download\nr=%s\nsha1=%s\n%ssize=%llu\n", file_.remote_path.c_str(),
                         file_.sha1.c_str(), sha256.c_str(), static_cast<unsigned long long>(file_.size));
}

std::uint64_t resumable_download::partial_to_continue() {
    const std::wstring proof = resume_proof_path(path_);
    byte_buffer text;
    if (file_size(proof) > largest_proof || !read_file_bytes(proof, text) ||
        std::string_view(reinterpret_cast<const char*>(text.data()), text.length) != proof_text())
        return 0;
    const file_handle partial = file_handle::open_read(path_);
    const std::uint64_t size = partial.is_open() ? partial.size().value_or(0) : 0;
    return size < file_.size ? size : 0;
}

// Written before the first byte of the file, so that whatever stops the transfer (a crash
// too) leaves a copy that says which server file it is part of. A proof that could not be
// written whole only costs the resume.
void resumable_download::write_proof() {
    const std::wstring proof = resume_proof_path(path_);
    const std::string text = proof_text();
    std::uint32_t open_error = 0;
    auto out = files_.create_file(proof, open_error);
    if (out && out->write(text.data(), text.size()) && out->finish())
        return;
    out.reset();
    files_.delete_file(proof);
}

resumable_download::outcome resumable_download::transfer(const transfer_request& terms, std::uint64_t offset,
                                                         std::string& error, digest_texts& digests) {
    // Read before the copy is opened for writing, which on Windows shuts readers out.
    digests_.reset();
    if (offset > 0 && !hash_file_start(path_, offset, buffer_, digests_))
        return outcome::range_refused; // the copy cannot be read: start afresh
    std::uint32_t open_error = 0;
    auto out =
        offset > 0 ? files_.continue_file(path_, offset, open_error) : files_.create_file(path_, open_error);
    if (!out) {
        if (offset > 0)
            return outcome::range_refused; // nor written on
        error = open_failure_text(open_error);
        return outcome::failed;
    }
    std::optional<hashing_sink> inline_hashing;
    std::optional<beside_hashing_sink> beside_hashing;
    byte_sink& hashed = file_.size - offset >= hashed_beside_size
                            ? static_cast<byte_sink&>(beside_hashing.emplace(*out, digests_))
                            : inline_hashing.emplace(*out, digests_);

    transfer_request request = terms;
    request.url = file_.url;
    if (offset > 0)
        request.range_start = offset;
    // Never more than the file's size is written, whatever the server announces or sends.
    request.body_cap = file_.size - offset;
    continued_from_ = offset;
    const transfer_result result = transfer_.download(request, hashed);
    continued_from_ = 0;
    if (beside_hashing)
        beside_hashing->finish();
    // A continued copy is not held: its start was hashed by name, before this handle was
    // opened, so only a check through the placing handle can vouch for all of it.
    if (keep_ && offset == 0 && result.ok())
        kept_ = out->keep_to_place();
    const bool finished = kept_ != nullptr || out->finish();
    out.reset();

    // Only the body from the offset on continues the copy: a server that ignores the range
    // (200), answers another one, or refuses it (416) gets the file asked for from the start.
    // A transfer that failed before any answer keeps the copy for the next attempt.
    const bool range_refused = result.failure == transfer_failure::range_not_answered ||
                               result.status == 416 || (result.ok() && !result.answers_range(offset));
    if (offset > 0 && range_refused)
        return outcome::range_refused;
    if (result.ok() && finished) {
        digests = digests_.finish();
        if (file_.size >= resumable_file_size)
            files_.delete_file(resume_proof_path(path_));
        return outcome::done;
    }
    error = download_failure_text(result);
    // Only what the server sent and the disk took whole is worth continuing: not a body
    // beyond the file's size, nor one the disk refused part of.
    const bool bytes_sound = result.failure != transfer_failure::too_large &&
                             result.failure != transfer_failure::write_refused &&
                             result.failure != transfer_failure::range_not_answered;
    const bool worth_keeping = bytes_sound && finished && file_.size >= resumable_file_size;
    if (!worth_keeping)
        forget_download(files_, path_);
    return outcome::failed;
}

} // namespace qz4
