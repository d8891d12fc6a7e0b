// Path patterns of the check rules against a slow matcher written the obvious way: the
// product's normalisation, component split and quadratic wildcard match must agree with it
// on every pattern and path. Input: a pattern, a zero byte, a path, both UTF-8.
#include "common/encoding.hpp"
#include "fuzz/fuzz_support.hpp"
#include "update/documents/check_rules.hpp"

#include <cstdint>
#include <cwctype>
#include <optional>
#include <vector>

using namespace qz4;

namespace {

std::wstring reference_normalize(std::wstring_view text) {
    std::wstring result;
    for (const wchar_t c : text)
        result += (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    while (!result.empty() && std::iswspace(static_cast<std::wint_t>(result.front())))
        result.erase(result.begin());
    while (!result.empty() && std::iswspace(static_cast<std::wint_t>(result.back())))
        result.pop_back();
    for (auto& c : result) {
        if (c == L'/') {
            c = L'\\';
            break;
        }
    }
    return result;
}

std::vector<std::wstring> reference_split(std::wstring_view text) {
    std::vector<std::wstring> parts(1);
    for (const wchar_t c : text) {
        if (c == L'\\')
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

// Tries every way a '*' can take characters; gives up (nothing) when that takes too long,
// since on hostile patterns it is exponential.
std::optional<bool> reference_wildcard(std::wstring_view p, std::wstring_view t, long& budget) {
    if (--budget < 0)
        return std::nullopt;
    if (p.empty())
        return t.empty();
    if (p[0] == L'*') {
        if (p.size() == 1)
            return true;
        for (std::size_t k = 0; k < t.size(); ++k) {
            const auto rest = reference_wildcard(p.substr(1), t.substr(k), budget);
            if (!rest || *rest)
                return rest;
        }
        return false;
    }
    if (t.empty() || (p[0] != L'?' && p[0] != t[0]))
        return false;
    return reference_wildcard(p.substr(1), t.substr(1), budget);
}

std::optional<bool> reference_path_match(std::wstring_view pattern, std::wstring_view path) {
    const auto pattern_parts = reference_split(pattern);
    const auto path_parts = reference_split(path);
    if (pattern_parts.size() != path_parts.size())
        return false;
    long budget = 200000;
    for (std::size_t i = 0; i < pattern_parts.size(); ++i) {
        const auto match = reference_wildcard(pattern_parts[i], path_parts[i], budget);
        if (!match || !*match)
            return match;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = fuzz::as_text(data, size);
    const std::size_t zero = input.find('\0');
    if (zero == std::string_view::npos)
        return 0;
    const std::string_view pattern_text = input.substr(0, zero);
    const std::wstring raw_pattern = utf8_to_wide(pattern_text);
    const std::wstring raw_path = utf8_to_wide(input.substr(zero + 1));

    const std::wstring pattern = normalize_path(raw_pattern);
    const std::wstring path = normalize_path(raw_path);
    FUZZ_CHECK(pattern == reference_normalize(raw_pattern));
    FUZZ_CHECK(path == reference_normalize(raw_path));

    const bool matches = path_matches(pattern, path);
    if (const auto expected = reference_path_match(pattern, path))
        FUZZ_CHECK(matches == *expected);
    // Whole components too: the raw texts, separators and all, as one component each.
    long budget = 200000;
    if (const auto expected = reference_wildcard(raw_pattern, raw_path, budget))
        FUZZ_CHECK(wildcard_match(raw_pattern, raw_path) == *expected);

    pattern_set set;
    set.add_pattern(pattern_text);
    FUZZ_CHECK(set.matches(raw_path) == matches);
    return 0;
}
