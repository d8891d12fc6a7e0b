#include "update/engine/engine_files.hpp"

#include "common/file_system.hpp"
#include "common/format.hpp"
#include "common/lzma2_codec.hpp"
#include "update/engine/engine_sinks.hpp"

#include <algorithm>
#include <optional>

namespace qz4 {

namespace {

// The file itself, or, when digests are asked for, a sink that hashes what the file takes
// into them from their start.
byte_sink& hashed_if_asked(std::optional<hashing_sink>& hashed, byte_sink& file, digest_context* digests) {
    if (digests == nullptr)
        return file;
    digests->reset();
    return hashed.emplace(file, *digests);
}

} // namespace

std::string download_failure_text(const transfer_result& result) {
    // The last buffered bytes reach the file only when it is closed; losing them there loses
    // data just as a failed write during the transfer does.
    return result.ok() ? lost_write_text() : result.error;
}

std::string open_failure_text(std::uint32_t error) {
    return format_narrow("Open failed: %u", static_cast<unsigned>(error));
}

transfer_result download_to_file(downloader& transfer, file_operations& files,
                                 const transfer_request& request, const std::wstring& path,
                                 digest_context* digests) {
    std::uint32_t open_error = 0;
    auto file = files.create_file(path, open_error);
    if (!file) {
        transfer_result refused;
        refused.failure = transfer_failure::open_failed;
        refused.error = open_failure_text(open_error);
        return refused;
    }
    std::optional<hashing_sink> hashed;
    transfer_result result = transfer.download(request, hashed_if_asked(hashed, *file, digests));
    const bool finished = file->finish();
    file.reset();
    if (result.ok() && !finished) {
        result.failure = transfer_failure::write_refused;
        result.error = lost_write_text();
    }
    if (!result.ok())
        files.delete_file(path);
    return result;
}

int unpack_to_file(file_operations& files, const std::wstring& source, const std::wstring& target,
                   std::uint64_t limit, digest_context* digests) {
    std::uint32_t open_error = 0;
    auto file = files.create_file(target, open_error);
    if (!file)
        return lzma2_result::cannot_open;
    std::optional<hashing_sink> hashed;
    capped_sink sink(hashed_if_asked(hashed, *file, digests), limit);
    int result = lzma2_unpack_to(source, sink, lzma2_default_memory_limit);
    if (!file->finish() && result == lzma2_result::ok)
        result = lzma2_result::write_error;
    file.reset();
    if (result != lzma2_result::ok)
        files.delete_file(target);
    return result;
}

checked_file open_checked(file_operations& files, const std::wstring& path, const update_task& task,
                          digest_context& digests, byte_buffer& buffer) {
    checked_file checked;
    std::uint32_t open_error = 0;
    auto file = files.open_to_place(path, open_error);
    if (!file)
        return checked;
    digests.reset(task.digests);
    buffer.ensure_capacity(std::size_t{1} << 20);
    for (bool first = true;; first = false) {
        const auto got = file->read_some(buffer.data(), buffer.storage.size());
        if (!got)
            return checked;
        if (*got == 0)
            break;
        if (first)
            std::copy_n(buffer.data(), std::min(*got, checked.start.size()), checked.start.begin());
        digests.update(buffer.data(), *got);
    }
    if (check_installed(task, digests.finish()) == digest_check::match)
        checked.file = std::move(file);
    return checked;
}

std::wstring arriving_path(const std::wstring& path) {
    return path + L".tmp";
}

bool replace_document(file_operations& files, const std::wstring& arriving, const std::wstring& path) {
    if (files.move_replace(arriving, path))
        return true;
    files.delete_file(arriving);
    return false;
}

bool write_document(file_operations& files, const std::wstring& path, std::string_view text) {
    const std::wstring temporary = arriving_path(path);
    std::uint32_t open_error = 0;
    auto file = files.create_file(temporary, open_error);
    if (!file)
        return false;
    bool ok = file->write(text.data(), text.size());
    ok = file->finish() && ok;
    file.reset();
    if (!ok) {
        files.delete_file(temporary);
        return false;
    }
    return replace_document(files, temporary, path);
}

bool document_holds(const std::wstring& path, std::string_view text) {
    byte_buffer held;
    if (text.empty() || !read_file_bytes(path, held))
        return false;
    return std::string_view(reinterpret_cast<const char*>(held.data()), held.length) == text;
}

bool update_document(file_operations& files, const std::wstring& path, std::string_view text) {
    return document_holds(path, text) || write_document(files, path, text);
}

} // namespace qz4
