// Portable algorithms of the file-system layer, written over the per-OS primitives.
#include "common/file_system.hpp"

#include "common/ascii_text.hpp"
#include "common/file_handle.hpp"
#include "common/paths.hpp"

#include <algorithm>
#include <limits>

namespace qz4 {

std::uint64_t file_size(const std::wstring& path) {
    file_handle file = file_handle::open_read(path);
    if (!file.is_open())
        return 0;
    return file.size().value_or(0);
}

bool read_file_part(const std::wstring& path, std::uint8_t* buffer, std::uint64_t& count) {
    file_handle file = file_handle::open_read(path);
    if (!file.is_open())
        return false;
    const auto size = file.size();
    if (!size)
        return false;
    if (buffer == nullptr) {
        count = *size;
        return true;
    }
    const std::uint64_t part = std::min(count, *size);
    if (part > std::numeric_limits<std::size_t>::max())
        return false; // no buffer of this process is that long
    const auto wanted = static_cast<std::size_t>(part);
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
    // Whatever is not a directory goes like a file: pipes and links are in the way too. A link
    // goes itself, whatever it leads to: nothing outside the directory is touched.
    passed_over_entries passed_over;
    std::vector<std::wstring> files = list_files(path, false, L"*.*", &passed_over);
    files.insert(files.end(), passed_over.others.begin(), passed_over.others.end());
    if (!files.empty() || !passed_over.links.empty() || !passed_over.refused.empty()) {
        if (!allow_files)
            return false;
        for (const auto& file : files)
            delete_file_now(file);
        // A Windows link to a directory goes as a directory does.
        for (const auto& link : passed_over.links) {
            if (!delete_file_now(link))
                remove_empty_directory(link);
        }
        // A name that cannot be joined to a path cannot be deleted through one either; it stays,
        // and the directory with it.
    }
    for (const auto& subdirectory : subdirectories) {
        if (!remove_directory(subdirectory, false))
            return false;
    }
    remove_empty_directory(path);
    return true;
}

namespace {

// One directory's entries as a walk takes them: `pattern` picks the files; directories are
// always taken, to be entered.
class directory_walk {
public:
    directory_walk(std::wstring_view pattern, passed_over_entries* passed_over)
        : pattern_(pattern), passed_over_(passed_over) {}

    // Appends the files of `directory` to `files` (when given) and returns its subdirectories.
    std::vector<std::wstring> visit(const std::wstring& directory, std::vector<std::wstring>* files) {
        std::vector<std::wstring> subdirectories;
        const auto entries = find_entries(directory, L"*");
        if (!entries)
            return subdirectories;
        for (const auto& entry : *entries) {
            const bool entered = entry.kind == entry_kind::directory;
            if (!entered && !name_matches_pattern(entry.name, pattern_))
                continue;
            const name_fault fault =
                entry.name_not_utf8 ? name_fault::not_unicode : windows_name_fault(entry.name);
            if (fault != name_fault::none) {
                if (passed_over_ != nullptr)
                    passed_over_->refused.push_back({directory, entry.name, fault});
                continue;
            }
            std::wstring full = join_path(directory, entry.name);
            switch (entry.kind) {
            case entry_kind::directory:
                subdirectories.push_back(std::move(full));
                break;
            case entry_kind::file:
                if (files != nullptr)
                    files->push_back(std::move(full));
                break;
            case entry_kind::link:
                if (passed_over_ != nullptr)
                    passed_over_->links.push_back(std::move(full));
                break;
            case entry_kind::other:
                if (passed_over_ != nullptr)
                    passed_over_->others.push_back(std::move(full));
                break;
            }
        }
        return subdirectories;
    }

private:
    std::wstring_view pattern_;
    passed_over_entries* passed_over_;
};

void collect_directories(directory_walk& walk, const std::wstring& directory, bool recursive,
                         std::vector<std::wstring>& out) {
    for (const auto& subdirectory : walk.visit(directory, nullptr)) {
        out.push_back(subdirectory);
        if (recursive)
            collect_directories(walk, subdirectory, true, out);
    }
}

// A directory's own files first, then each subdirectory's, depth first.
void collect_files(directory_walk& walk, const std::wstring& directory, bool recursive,
                   std::vector<std::wstring>& files) {
    const auto subdirectories = walk.visit(directory, &files);
    if (!recursive)
        return;
    for (const auto& subdirectory : subdirectories)
        collect_files(walk, subdirectory, true, files);
}

} // namespace

std::vector<std::wstring> list_directories(const std::wstring& directory, bool recursive) {
    std::vector<std::wstring> result;
    directory_walk walk(L"*", nullptr);
    collect_directories(walk, directory, recursive, result);
    return result;
}

std::vector<std::wstring> list_files(const std::wstring& directory, bool recursive, std::wstring_view pattern,
                                     passed_over_entries* passed_over) {
    std::vector<std::wstring> result;
    if (!is_directory(directory))
        return result;
    directory_walk walk(pattern, passed_over);
    collect_files(walk, directory, recursive, result);
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

// Every reparse point counts as a link: symbolic links and junctions lead elsewhere, and the
// other kinds (placeholders of cloud storage, deduplicated files) are read through a filter
// we know nothing about. A search shows nothing but files and directories besides.
entry_kind entry_kind_of_windows_attributes(std::uint32_t attributes) {
    if ((attributes & windows_attribute_reparse_point) != 0)
        return entry_kind::link;
    if ((attributes & windows_attribute_directory) != 0)
        return entry_kind::directory;
    return entry_kind::file;
}

bool name_matches_pattern(std::wstring_view name, std::wstring_view pattern) {
    // The Windows directory search treats "*.*" as "every name", dot or not.
    if (pattern == L"*.*" || pattern == L"*")
        return true;
    return match_from(to_lower(name), to_lower(pattern));
}

} // namespace qz4
