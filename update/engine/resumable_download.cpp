#include "update/engine/resumable_download.hpp"

#include "common/file_handle.hpp"
#include "common/file_system.hpp"
#include "common/format.hpp"
#include "update/engine/engine_files.hpp"
#include "update/engine/engine_sinks.hpp"

#include <charconv>
#include <string_view>

namespace qz4 {

namespace {

constexpr std::uint32_t largest_proof = 4096;

// What the final response of a transfer said about itself. Redirect hops come first and
// each starts afresh with its status line.
struct response_head {
    int status = 0;
    std::optional<std::uint64_t> range_start; // of "Content-Range: bytes <start>-<end>/<total>"
};

bool starts_with_ci(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(text[i]) != lower(prefix[i]))
            return false;
    }
    return true;
}

std::optional<std::uint64_t> leading_number(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data())
        return std::nullopt;
    return value;
}

void read_header_line(std::string_view line, response_head& head) {
    if (starts_with_ci(line, "HTTP/")) {
        head = {};
        const std::size_t blank = line.find(' ');
        if (blank != std::string_view::npos)
            head.status = static_cast<int>(leading_number(line.substr(blank + 1)).value_or(0));
    } else if (starts_with_ci(line, "content-range:")) {
        std::string_view value = line.substr(14);
        while (!value.empty() && value.front() == ' ')
            value.remove_prefix(1);
        if (starts_with_ci(value, "bytes "))
            head.range_start = leading_number(value.substr(6));
    }
}

// With a null head (no transfer of ours running) the headers are only discarded.
std::size_t capture_header(char* data, std::size_t size, std::size_t count, void* head) noexcept {
    if (head != nullptr)
        read_header_line(std::string_view(data, size * count), *static_cast<response_head*>(head));
    return size * count;
}

// The range asked for and the header capture, for one transfer of the handle; the handle
// goes back to whole files afterwards on every path.
class range_request {
public:
    range_request(downloader& transfer, std::uint64_t offset, response_head& head) : transfer_(transfer) {
        transfer_.easy.add<CURLOPT_HEADERFUNCTION>(static_cast<curl_write_callback>(&capture_header));
        transfer_.easy.add<CURLOPT_HEADERDATA>(static_cast<void*>(&head));
        if (offset > 0)
            transfer_.easy.add<CURLOPT_RANGE>(
                format_narrow("%llu-", static_cast<unsigned long long>(offset)));
    }
    ~range_request() {
        try {
            transfer_.easy.add<CURLOPT_RANGE>(static_cast<const char*>(nullptr));
            transfer_.easy.add<CURLOPT_HEADERDATA>(static_cast<void*>(nullptr));
        } catch (...) {
            // Clearing options does not fail in libcurl; nothing is left to do if it did.
        }
    }
    range_request(const range_request&) = delete;
    range_request& operator=(const range_request&) = delete;

private:
    downloader& transfer_;
};

// Lets the body through only when it continues the file where its copy on disk ends: a
// server that ignores the range sends the file from its start (200), and one that answers
// another range would splice two files.
class continuation_sink final : public byte_sink {
public:
    continuation_sink(byte_sink& target, const response_head& head, std::uint64_t offset)
        : target_(target), head_(head), offset_(offset) {}
    bool write(const void* data, std::size_t size) override {
        if (!checked_) {
            checked_ = true;
            range_refused_ = offset_ > 0 && (head_.status != 206 || head_.range_start != offset_);
        }
        if (range_refused_)
            return false;
        if (target_.write(data, size))
            return true;
        target_refused_ = true;
        return false;
    }
    [[nodiscard]] bool range_refused() const { return range_refused_; }
    [[nodiscard]] bool target_refused() const { return target_refused_; }

private:
    byte_sink& target_;
    const response_head& head_;
    std::uint64_t offset_;
    bool checked_ = false;
    bool range_refused_ = false;
    bool target_refused_ = false;
};

} // namespace

std::wstring resume_proof_path(const std::wstring& download_path) {
    return download_path + L".resume";
}

void forget_download(file_operations& files, const std::wstring& download_path) {
    files.delete_file(download_path);
    files.delete_file(resume_proof_path(download_path));
}

resumable_download::resumable_download(downloader& transfer, file_operations& files, std::wstring path,
                                       server_file file, byte_buffer& buffer, digest_context& digests)
    : transfer_(transfer), files_(files), path_(std::move(path)), file_(std::move(file)), buffer_(buffer),
      digests_(digests) {}

bool resumable_download::run(std::string& error, digest_texts& digests) {
    const bool resumable = file_.size >= resumable_file_size;
    if (const std::uint64_t offset = resumable ? partial_to_continue() : 0; offset > 0) {
        const outcome result = transfer(offset, error, digests);
        if (result != outcome::range_refused)
            return result == outcome::done;
    }
    if (resumable)
        write_proof();
    return transfer(0, error, digests) == outcome::done;
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

resumable_download::outcome resumable_download::transfer(std::uint64_t offset, std::string& error,
                                                         digest_texts& digests) {
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
    hashing_sink hashed(*out, digests_);

    response_head head;
    continuation_sink continued(hashed, head, offset);
    capped_sink sink(continued, file_.size - offset);
    // A server that announces more than the file's size is refused before the first byte;
    // one that does not announce its length is stopped by the sink.
    transfer_.easy.add<CURLOPT_MAXFILESIZE_LARGE>(static_cast<curl_off_t>(file_.size));
    continued_from_ = offset;
    bool ok = false;
    {
        const range_request request(transfer_, offset, head);
        ok = transfer_.download(file_.url, sink);
    }
    continued_from_ = 0;
    const bool finished = out->finish();
    out.reset();

    if (ok && finished) {
        digests = digests_.finish();
        if (file_.size >= resumable_file_size)
            files_.delete_file(resume_proof_path(path_));
        return outcome::done;
    }
    if (!ok && offset > 0 && (continued.range_refused() || head.status == 416))
        return outcome::range_refused;
    error = download_failure_text(ok, sink.overflowed(), file_.size, transfer_);
    // Only what the server sent and the disk took whole is worth continuing.
    const bool worth_keeping = !ok && finished && file_.size >= resumable_file_size && !sink.overflowed() &&
                               !continued.target_refused();
    if (!worth_keeping)
        forget_download(files_, path_);
    return outcome::failed;
}

} // namespace qz4
