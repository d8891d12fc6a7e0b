// Portable algorithms of the file-system layer, written over the per-OS primitives.
#include "common/file_system.hpp"

#include "common/file_handle.hpp"
#include "common/paths.hpp"
#include "common/ascii_text.hpp"

#include <algorithm>
#include <limits>

namespace qz4 {

std::uint32_t file_size(const std::wstring& path) {
    file_handle file = file_handle::open_read(path);
    if (!file.is_open())
        return 0;
    const auto size = file.size();
    return size ? static_cast<std::uint32_t>(*size) : 0;
}

bool read_file_part(const std::wstring& path, std::uint8_t* buffer, std::uint32_t& count) {
    file_handle file = file_handle::open_read(path);
    if (!file.is_open())
        return false;
    const auto size = file.size();
    if (!size)
        return false;
    if (buffer == nullptr) {
        count = static_cast<std::uint32_t>(*size);
        return true;
    }
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(count, *size));
    const auto got = read_fully(file, buffer, wanted);
    return got && *got == wanted;
}

bool read_file_bytes(const std::wstring& path, byte_buffer& buffer) {
    file_handle file = file_handle::open_read(path);
    if (!file.is_open())
        return false;
    const auto size = file.size();
    if (!size || *size == 0 || *size > std::numeric_limits<std::size_t>::max())
        return false;
    buffer.ensure_capacity(static_cast<std::size_t>(*size));
    const auto got = read_fully(file, buffer.data(), static_cast<std::size_t>(*size));
    if (!got)
        return false;
    buffer.length = *got;
    buffer.position = 0;
    return true;
}

bool is_regular_file(const std::wstring& path) {
    const auto attributes = read_file_attributes(path);
    return attributes && !attributes->directory;
}

bool is_directory(const std::wstring& path) {
    const auto attributes = read_file_attributes(path);
    return attributes && attributes->directory;
}

bool create_directories(const std::wstring& path) {
    if (const auto attributes = read_file_attributes(path))
        return attributes->directory || attributes->reparse_point;
    const std::size_t at = path.find_last_of(L"\\/");
    if (at != std::wstring::npos && !create_directories(path.substr(0, at)))
        return false;
    if (make_directory(path))
        return true;
    // Another thread or process may have made it since we looked (packing workers create
    // sibling folders at once); that is no failure, and giving up here would leave the deeper
    // levels uncreated for the caller. A trailing separator still fails on the directory its
    // parent step just made, as it always has.
    if (at + 1 == path.size())
        return false;
    const auto attributes = read_file_attributes(path);
    return attributes && (attributes->directory || attributes->reparse_point);
}

bool remove_directory(const std::wstring& path, bool allow_files) {
    const auto subdirectories = list_directories(path, false);
    // Whatever is not a directory goes like a file: pipes and dead links are in the way too.
    std::vector<std::wstring> others;
    std::vector<std::wstring> files = list_files(path, false, L"*.*", &others);
    files.insert(files.end(), others.begin(), others.end());
    if (!files.empty()) {
        if (!allow_files)
            return false;
        for (const auto& file : files)
            delete_file_now(file);
    }
    for (const auto& subdirectory : subdirectories) {
        if (!remove_directory(subdirectory, false))
            return false;
    }
    remove_empty_directory(path);
    return true;
}

namespace {

void collect_directories(const std::wstring& directory, bool recursive, std::vector<std::wstring>& out) {
    const auto entries = find_entries(directory, L"*");
    if (!entries)
        return;
    for (const auto& entry : *entries) {
        if (!entry.directory)
            continue;
        std::wstring full = join_path(directory, entry.name);
        out.push_back(full);
        if (recursive)
            collect_directories(full, true, out);
    }
}

} // namespace

std::vector<std::wstring> list_directories(const std::wstring& directory, bool recursive) {
    std::vector<std::wstring> result;
    collect_directories(directory, recursive, result);
    return result;
}

std::vector<std::wstring> list_files(const std::wstring& directory, bool recursive, std::wstring_view pattern,
                                     std::vector<std::wstring>* others) {
    std::vector<std::wstring> result;
    if (!is_directory(directory))
        return result;
    std::vector<std::wstring> searched{directory};
    if (recursive) {
        auto below = list_directories(directory, true);
        searched.insert(searched.end(), below.begin(), below.end());
    }
    for (const auto& dir : searched) {
        const auto entries = find_entries(dir, pattern);
        if (!entries)
            continue;
        for (const auto& entry : *entries) {
            if (entry.other) {
                if (others != nullptr)
                    others->push_back(join_path(dir, entry.name));
            } else if (!entry.directory) {
                result.push_back(join_path(dir, entry.name));
            }
        }
    }
    return result;
}

std::wstring module_directory() {
    return parent_directory(module_path());
}

namespace {

bool match_from(std::wstring_view name, std::wstring_view pattern) {
    // Iterative glob with single back-tracking point: linear enough for directory names.
    std::size_t n = 0, p = 0, star = std::wstring_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == L'?' || pattern[p] == name[n])) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = n;
        } else if (star != std::wstring_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*')
        ++p;
    return p == pattern.size();
}

} // namespace

bool name_matches_pattern(std::wstring_view name, std::wstring_view pattern) {
    // The Windows directory search treats "*.*" as "every name", dot or not.
    if (pattern == L"*.*" || pattern == L"*")
        return true;
    return match_from(to_lower(name), to_lower(pattern));
}

} // namespace qz4
