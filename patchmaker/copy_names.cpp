#include "patchmaker/copy_names.hpp"

#include "common/ascii_text.hpp"

#include <unordered_set>

namespace qz4 {

namespace {

constexpr std::wstring_view packed_suffix = L".lzma2";

// "dir\name~2.ext": the mark goes before the extension, so the copy still says what it is.
std::wstring numbered(const std::wstring& path, unsigned number) {
    const std::size_t slash = path.rfind(L'\\');
    const std::size_t name_start = slash == std::wstring::npos ? 0 : slash + 1;
    std::size_t dot = path.rfind(L'.');
    if (dot == std::wstring::npos || dot <= name_start)
        dot = path.size();
    return path.substr(0, dot) + L"~" + std::to_wstring(number) + path.substr(dot);
}

// The names handed out so far, in lower case: files, and every directory they lie in.
class taken_names {
public:
    // The stem with each of its directories that cannot be one (a file has that name)
    // numbered until it can.
    [[nodiscard]] std::wstring with_free_directories(std::wstring stem) const {
        for (std::size_t at = stem.find(L'\\'); at != std::wstring::npos; at = stem.find(L'\\', at + 1)) {
            const std::wstring directory = stem.substr(0, at);
            if (!is_file(directory))
                continue;
            std::wstring free_directory;
            for (unsigned number = 2; free_directory.empty() || is_file(free_directory); ++number)
                free_directory = numbered(directory, number);
            stem = free_directory + stem.substr(at);
            at = free_directory.size();
        }
        return stem;
    }

    [[nodiscard]] bool free(const std::wstring& stem) const {
        return with_free_directories(stem) == stem && free_name(stem) &&
               free_name(stem + std::wstring(packed_suffix));
    }

    void take(const std::wstring& stem) {
        files_.insert(stem);
        files_.insert(stem + std::wstring(packed_suffix));
        for (std::size_t at = stem.find(L'\\'); at != std::wstring::npos; at = stem.find(L'\\', at + 1))
            directories_.insert(stem.substr(0, at));
    }

private:
    [[nodiscard]] bool is_file(const std::wstring& name) const {
        return is_update_document_name(name) || files_.contains(name);
    }
    [[nodiscard]] bool free_name(const std::wstring& name) const {
        return !is_file(name) && !directories_.contains(name);
    }

    std::unordered_set<std::wstring> files_;
    std::unordered_set<std::wstring> directories_;
};

} // namespace

bool is_update_document_name(const std::wstring& name) {
    const std::wstring lower = to_lower(name);
    return lower == L"index.json" || lower.starts_with(L"index.json.");
}

std::vector<std::wstring> assign_copy_stems(const std::vector<std::wstring>& keys,
                                            const std::vector<std::wstring>& kept) {
    std::vector<std::wstring> stems(keys.size());
    taken_names taken;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::wstring lower = i < kept.size() ? to_lower(kept[i]) : std::wstring();
        if (!lower.empty() && taken.free(lower)) {
            stems[i] = lower;
            taken.take(lower);
        }
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!stems[i].empty())
            continue;
        const std::wstring natural = taken.with_free_directories(to_lower(keys[i]));
        std::wstring stem = natural;
        for (unsigned number = 2; !taken.free(stem); ++number)
            stem = numbered(natural, number);
        stems[i] = stem;
        taken.take(stem);
    }
    return stems;
}

} // namespace qz4
