// Path patterns and the rules built from a configuration's `check` object.
#include "update/documents/check_rules.hpp"

#include "common/ascii_text.hpp"
#include "common/encoding.hpp"
#include "common/paths.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <vector>

namespace qz4 {

namespace {

// Trims what the C library's isspace() takes in the C locale, whatever locale is set.
std::string trim_blanks(std::string_view text) {
    constexpr std::string_view blanks = " \t\n\v\f\r";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(blanks);
    return std::string(text.substr(first, last - first + 1));
}

// Calls `each` for every element of a rule list. A list may be an array, a single value
// (a list of one) or absent; an object is walked through its values, as the JSON library
// iterates it. False when an element is not a string.
template <typename Each> bool for_each_string(const nlohmann::json& list, Each&& each) {
    if (list.is_null())
        return true;
    if (!list.is_array() && !list.is_object()) {
        if (!list.is_string())
            return false;
        each(list.get_ref<const std::string&>());
        return true;
    }
    for (const auto& element : list) {
        if (!element.is_string())
            return false;
        each(element.get_ref<const std::string&>());
    }
    return true;
}

const nlohmann::json& member_or_null(const nlohmann::json& object, const char* key) {
    static const nlohmann::json null_value;
    const auto found = object.find(key);
    return found == object.end() ? null_value : *found;
}

bool add_acceptable_checksums(const nlohmann::json& list, const std::wstring& game_dir,
                              accepted_digests& accepted) {
    if (list.is_null())
        return true;
    const auto add_one = [&](const nlohmann::json& element) {
        if (!element.is_object())
            return false;
        const auto& file = member_or_null(element, "file");
        if (!file.is_string())
            return false;
        const auto& checksums = member_or_null(element, "checksums");
        if (!checksums.is_array())
            return true; // skipped, as documented for publishers
        std::set<std::string> digests;
        for (const auto& checksum : checksums) {
            if (!checksum.is_string())
                return false;
            std::string digest = trim_blanks(checksum.get_ref<const std::string&>());
            digests.insert(std::move(digest));
        }
        if (digests.empty())
            return true;
        const std::wstring key =
            normalize_path(join_path(game_dir, utf8_to_wide(file.get_ref<const std::string&>())));
        accepted[key] = std::move(digests); // a later element for the same file wins
        return true;
    };
    if (!list.is_array() && !list.is_object())
        return add_one(list);
    for (const auto& element : list)
        if (!add_one(element))
            return false;
    return true;
}

} // namespace

std::wstring normalize_path(std::wstring_view path) {
    std::wstring result = to_lower(path);
    trim(result);
    if (const auto slash = result.find(L'/'); slash != std::wstring::npos)
        result[slash] = L'\\';
    return result;
}

bool wildcard_match(std::wstring_view pattern, std::wstring_view text) {
    // matches(i, j): does pattern[i..] match text[j..]? Computed row by row from the end of
    // the pattern, keeping only the row below. For a '*' that is not last,
    // matches(i, j) = j < n && (matches(i + 1, j) || matches(i, j + 1)): the rest of the
    // pattern is tried at every remaining position except the end of the text.
    const std::size_t n = text.size();
    // Names of one part are short: rows on the stack spare two allocations per pattern and
    // file at every start.
    std::array<char, 512> stack_rows{};
    std::vector<char> heap_rows;
    std::span<char> rows(stack_rows);
    if (2 * (n + 1) > stack_rows.size()) {
        heap_rows.resize(2 * (n + 1));
        rows = heap_rows;
    }
    std::span<char> below = rows.first(n + 1);
    std::span<char> row = rows.subspan(n + 1, n + 1);
    below[n] = 1; // the used-up pattern matches only the used-up text
    for (std::size_t i = pattern.size(); i-- > 0;) {
        const wchar_t p = pattern[i];
        if (p == L'*' && i + 1 == pattern.size()) {
            std::fill(row.begin(), row.end(), 1);
        } else if (p == L'*') {
            row[n] = 0;
            for (std::size_t j = n; j-- > 0;)
                row[j] = below[j] || row[j + 1];
        } else {
            row[n] = 0;
            for (std::size_t j = 0; j < n; ++j)
                row[j] = (p == L'?' || text[j] == p) && below[j + 1];
        }
        std::swap(row, below);
    }
    return below[0] != 0;
}

bool path_matches(std::wstring_view pattern, std::wstring_view path) {
    // Part by part, in place: every installed file is matched against every pattern at each
    // start, so nothing is copied. The same number of parts, each matching its own.
    if (std::count(pattern.begin(), pattern.end(), L'\\') != std::count(path.begin(), path.end(), L'\\'))
        return false;
    for (;;) {
        const std::size_t pattern_end = pattern.find(L'\\');
        const std::size_t path_end = path.find(L'\\');
        const std::wstring_view part = pattern.substr(0, pattern_end);
        // "*" takes any part, the empty one too, as the general match would find.
        if (part != L"*" && !wildcard_match(part, path.substr(0, path_end)))
            return false;
        if (pattern_end == std::wstring_view::npos)
            return true;
        pattern.remove_prefix(pattern_end + 1);
        path.remove_prefix(path_end + 1);
    }
}

void pattern_set::add_pattern(std::string_view pattern) {
    std::wstring normalised = normalize_path(utf8_to_wide(pattern));
    const std::lock_guard lock(mutex_);
    patterns_.insert(std::move(normalised));
}

bool pattern_set::matches(std::wstring_view path) const {
    const std::wstring normalised = normalize_path(path);
    const std::lock_guard lock(mutex_);
    for (const auto& pattern : patterns_)
        if (path_matches(pattern, normalised))
            return true;
    return false;
}

bool pattern_set::empty() const {
    const std::lock_guard lock(mutex_);
    return patterns_.empty();
}

void pattern_set::clear() {
    const std::lock_guard lock(mutex_);
    patterns_.clear();
}

bool build_check_rules(const nlohmann::json& config, std::uint32_t version, const std::wstring& game_dir,
                       check_rules& rules) {
    rules.hard_patterns.clear();
    rules.soft_patterns.clear();
    rules.accepted.clear();
    const auto fail = [&] {
        rules.hard_patterns.clear();
        rules.soft_patterns.clear();
        rules.accepted.clear();
        return false;
    };
    if (!config.is_object() && !config.is_null())
        return fail();
    const auto& check = config.is_object() ? member_or_null(config, "check") : config;
    if (check.is_null())
        return true;
    if (!check.is_object())
        return fail();
    if (!for_each_string(member_or_null(check, "hard_check"),
                         [&](const std::string& pattern) { rules.hard_patterns.add_pattern(pattern); }) ||
        !for_each_string(member_or_null(check, "soft_check"),
                         [&](const std::string& pattern) { rules.soft_patterns.add_pattern(pattern); }))
        return fail();
    if (version >= 3 &&
        !add_acceptable_checksums(member_or_null(check, "acceptable_checksums"), game_dir, rules.accepted))
        return fail();
    return true;
}

bool digest_accepted(const accepted_digests& accepted, std::wstring_view target_path,
                     std::string_view digest) {
    const std::wstring path = normalize_path(target_path);
    for (const auto& [pattern, digests] : accepted) {
        if (!path_matches(pattern, path))
            continue;
        for (const auto& candidate : digests)
            if (equals_ci(candidate, digest))
                return true;
        return false; // only the first matching pattern counts
    }
    return false;
}

bool accepts_edits_of(const accepted_digests& accepted, std::wstring_view target_path) {
    const std::wstring path = normalize_path(target_path);
    return std::any_of(accepted.begin(), accepted.end(),
                       [&](const auto& entry) { return path_matches(entry.first, path); });
}

} // namespace qz4
