#include "common/ascii_text.hpp"

#include <cwctype>

namespace qz4 {

namespace {

template <typename Char> Char fold_ascii(Char c) {
    return (c >= Char('A') && c <= Char('Z')) ? Char(c - Char('A') + Char('a')) : c;
}

template <typename Char> std::basic_string<Char> lower_copy(std::basic_string_view<Char> text) {
    std::basic_string<Char> result(text);
    for (auto& c : result)
        c = fold_ascii(c);
    return result;
}

template <typename Char> bool equal_folded(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold_ascii(a[i]) != fold_ascii(b[i]))
            return false;
    }
    return true;
}

} // namespace

std::wstring to_lower(std::wstring_view text) {
    return lower_copy(text);
}
std::string to_lower(std::string_view text) {
    return lower_copy(text);
}

bool equals_ci(std::string_view a, std::string_view b) {
    return equal_folded(a, b);
}
bool equals_ci(std::wstring_view a, std::wstring_view b) {
    return equal_folded(a, b);
}

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.ends_with(suffix);
}

bool ends_with_ci(std::wstring_view text, std::wstring_view suffix) {
    if (suffix.size() > text.size())
        return false;
    return equal_folded(text.substr(text.size() - suffix.size()), suffix);
}

std::wstring replace_all(std::wstring_view text, std::wstring_view search, std::wstring_view replacement) {
    if (search.empty())
        return std::wstring(text);
    std::wstring result;
    result.reserve(text.size());
    std::size_t from = 0;
    for (std::size_t hit = text.find(search); hit != std::wstring_view::npos; hit = text.find(search, from)) {
        result.append(text.substr(from, hit - from));
        result.append(replacement);
        from = hit + search.size();
    }
    result.append(text.substr(from));
    return result;
}

void trim(std::wstring& text) {
    std::size_t begin = 0;
    while (begin < text.size() && std::iswspace(static_cast<std::wint_t>(text[begin])))
        ++begin;
    std::size_t end = text.size();
    while (end > begin && std::iswspace(static_cast<std::wint_t>(text[end - 1])))
        --end;
    // In place: every entry of a large index passes through here at each start.
    text.erase(end);
    text.erase(0, begin);
}

std::wstring join_strings(const std::vector<std::wstring>& parts, std::wstring_view separator) {
    std::wstring result;
    for (const auto& part : parts) {
        if (!result.empty())
            result.append(separator);
        result.append(part);
    }
    return result;
}

std::vector<std::wstring> split_at_backslashes(std::wstring_view text) {
    std::vector<std::wstring> pieces;
    std::size_t from = 0;
    for (std::size_t hit = text.find(L'\\'); hit != std::wstring_view::npos; hit = text.find(L'\\', from)) {
        pieces.emplace_back(text.substr(from, hit - from));
        from = hit + 1;
    }
    pieces.emplace_back(text.substr(from));
    return pieces;
}

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

} // namespace qz4
