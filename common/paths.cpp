#include "common/paths.hpp"

#include <stdexcept>

namespace qz4 {

std::wstring join_path(std::wstring_view base, std::wstring_view relative) {
    if (base.empty())
        throw std::out_of_range("invalid string position");
    std::wstring result(base);
    if (base.back() != L'\\' && (relative.empty() || relative.front() != L'\\'))
        result.push_back(L'\\');
    result.append(relative);
    return result;
}

namespace {

// A backslash anywhere wins over a slash, even a later slash.
std::size_t last_separator(std::wstring_view path) {
    std::size_t at = path.rfind(L'\\');
    if (at == std::wstring_view::npos)
        at = path.rfind(L'/');
    return at;
}

} // namespace

std::wstring parent_directory(std::wstring_view path) {
    const std::size_t at = last_separator(path);
    return std::wstring(at == std::wstring_view::npos ? path : path.substr(0, at));
}

std::wstring file_name_of(std::wstring_view path) {
    const std::size_t at = last_separator(path);
    return std::wstring(at == std::wstring_view::npos ? path : path.substr(at + 1));
}

} // namespace qz4
