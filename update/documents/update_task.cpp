// Index entries become update tasks; entries that would write outside the game are refused.
#include "update/documents/update_task.hpp"

#include "common/ascii_text.hpp"
#include "common/encoding.hpp"
#include "common/paths.hpp"
#include "common/portable_names.hpp"
#include "update/documents/manifests.hpp"

#include <algorithm>

namespace qz4 {

namespace {

// No file system we install on takes a longer name (NTFS and ext4 count 255 units), nor, on
// Linux, a longer path; an entry beyond them could only fail, and each failure counts
// against the pass's limits.
constexpr std::size_t name_length_limit = 255;
constexpr std::size_t path_length_limit = 4096;

// A name Windows can hold as itself: no device, no stream, nothing it trims away.
bool is_plain_name(std::wstring_view name) {
    return name.size() <= name_length_limit && windows_name_fault(name) == name_fault::none;
}

// The pack format becomes the extension of the download; only letters, digits, '-' and '_'
// keep it from adding path pieces of its own.
bool is_plain_format(std::string_view format) {
    for (const char c : format) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '-' || c == '_';
        if (!plain)
            return false;
    }
    return true;
}

std::wstring widened(std::string_view text) {
    return std::wstring(text.begin(), text.end());
}

} // namespace

bool is_contained_relative_path(std::wstring_view path) {
    if (path.size() > path_length_limit)
        return false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find_first_of(L"\\/", start);
        if (!is_plain_name(path.substr(start, end == std::wstring_view::npos ? end : end - start)))
            return false;
        if (end == std::wstring_view::npos)
            return true;
        start = end + 1;
    }
}

std::optional<std::wstring> named_local_path(const nlohmann::json& entry) {
    if (!entry.is_object())
        return std::nullopt;
    const auto local = entry.find("l");
    if (local == entry.end() || !local->is_string())
        return std::nullopt;
    std::wstring path = utf8_to_wide(local->get_ref<const std::string&>());
    if (!is_contained_relative_path(path))
        return std::nullopt;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

std::shared_ptr<update_task> make_update_task(const nlohmann::json& entry, const task_locations& where,
                                              digest_kinds digests) {
    file_record record;
    try {
        record = read_download_record(entry, digests);
    } catch (const nlohmann::json::exception&) {
        return nullptr;
    }
    const bool packed = record.r_pack != pack_format_none;
    if (digests == digest_kinds::sha1_and_sha256 &&
        !(record.l_sha256 && is_sha256_text(*record.l_sha256, record.l_size) &&
          (!packed || (record.r_sha256 && is_sha256_text(*record.r_sha256, record.r_size)))))
        return nullptr;
    auto task = std::make_shared<update_task>();
    task->local_path = utf8_to_wide(record.l);
    if (!is_contained_relative_path(task->local_path) || !is_plain_format(record.r_pack))
        return nullptr;
    // Windows reads a slash as a separator too, but the path functions split at the last
    // backslash when there is one: "data/x.bin" below the download area would get no "data"
    // folder, and the check patterns, written with backslashes, would never name it.
    std::replace(task->local_path.begin(), task->local_path.end(), L'/', L'\\');

    task->remote_path = std::move(record.r);
    task->target_path = join_path(where.game_dir, task->local_path);
    task->unpack_path = task->target_path + L".unp";
    task->local_size = record.l_size;
    task->local_sha1 = std::move(record.l_sha1);
    task->remote_size = record.r_size;
    task->pack_format = std::move(record.r_pack);
    task->download_path = join_path(where.download_dir, task->local_path) +
                          (packed ? L"." + widened(task->pack_format) : L".temp");
    task->download_sha1 = packed ? std::move(record.r_sha1) : task->local_sha1;
    task->digests = digests;
    if (digests == digest_kinds::sha1_and_sha256) {
        task->local_sha256 = std::move(*record.l_sha256);
        task->download_sha256 = packed ? std::move(*record.r_sha256) : task->local_sha256;
    }
    task->is_self = equals_ci(task->target_path, where.exe_path);
    return task;
}

namespace {

digest_check check_digests(const update_task& task, const digest_texts& found, std::string_view sha1,
                           std::string_view sha256) {
    if (!equals_ci(found.sha1, sha1))
        return digest_check::sha1_mismatch;
    if (task.digests == digest_kinds::sha1_and_sha256 && found.sha256 != sha256)
        return digest_check::sha256_mismatch;
    return digest_check::match;
}

} // namespace

digest_check check_installed(const update_task& task, const digest_texts& found) {
    return check_digests(task, found, task.local_sha1, task.local_sha256);
}

digest_check check_download(const update_task& task, const digest_texts& found) {
    return check_digests(task, found, task.download_sha1, task.download_sha256);
}

void prepare_for_download(update_task& task, const task_locations& where) {
    task.attempts = 0;
    if (task.is_self)
        task.target_path = where.new_exe_path;
}

} // namespace qz4
