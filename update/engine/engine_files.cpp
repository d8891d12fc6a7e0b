#include "update/engine/engine_files.hpp"

#include "common/format.hpp"
#include "common/lzma2_codec.hpp"
#include "update/engine/engine_sinks.hpp"

namespace qz4 {

std::string download_failure_text(const transfer_result& result) {
    // The last buffered bytes reach the file only when it is closed; losing them there loses
    // data just as a failed write during the transfer does.
    return result.ok() ? lost_write_text() : result.error;
}

std::string open_failure_text(std::uint32_t error) {
    return format_narrow("Open failed: %u", static_cast<unsigned>(error));
}

bool download_to_file(downloader& transfer, file_operations& files, const transfer_request& request,
                      const std::wstring& path, std::string& error, std::string* digest) {
    std::uint32_t open_error = 0;
    auto file = files.create_file(path, open_error);
    if (!file) {
        error = open_failure_text(open_error);
        return false;
    }
    hashing_sink hashed(*file);
    const transfer_result result = transfer.download(request, hashed);
    const bool finished = file->finish();
    file.reset();
    if (result.ok() && finished) {
        if (digest != nullptr)
            *digest = hashed.text();
        return true;
    }
    error = download_failure_text(result);
    files.delete_file(path);
    return false;
}

int unpack_to_file(file_operations& files, const std::wstring& source, const std::wstring& target,
                   std::uint64_t limit, std::string* digest) {
    std::uint32_t open_error = 0;
    auto file = files.create_file(target, open_error);
    if (!file)
        return lzma2_result::cannot_open;
    hashing_sink hashed(*file);
    capped_sink sink(hashed, limit);
    int result = lzma2_unpack_to(source, sink, lzma2_default_memory_limit);
    if (!file->finish() && result == lzma2_result::ok)
        result = lzma2_result::write_error;
    file.reset();
    if (result != lzma2_result::ok)
        files.delete_file(target);
    else if (digest != nullptr)
        *digest = hashed.text();
    return result;
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

} // namespace qz4
