// Which names lie below a guarded root: pure path arithmetic, the same on every system.
#include "common/guarded_tree.hpp"

namespace qz4 {

namespace {

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

} // namespace

std::optional<std::vector<std::wstring>> names_below(std::wstring_view root, std::wstring_view path) {
    if (root.empty() || path.size() <= root.size() || path.substr(0, root.size()) != root)
        return std::nullopt;
    std::wstring_view rest = path.substr(root.size());
    // "C:\game2" shares its first letters with "C:\game" but does not lie below it.
    if (!is_separator(root.back()) && !is_separator(rest.front()))
        return std::nullopt;
    std::vector<std::wstring> names;
    while (!rest.empty()) {
        std::size_t end = 0;
        while (end < rest.size() && !is_separator(rest[end]))
            ++end;
        const std::wstring_view name = rest.substr(0, end);
        if (name == L"." || name == L"..")
            return std::nullopt;
        if (!name.empty())
            names.emplace_back(name);
        rest.remove_prefix(end == rest.size() ? end : end + 1);
    }
    if (names.empty())
        return std::nullopt;
    return names;
}

} // namespace qz4
