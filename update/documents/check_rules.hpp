// The check rules of a remote configuration: which installed files are verified by digest
// (hard and soft patterns) and which unexpected digests are accepted for which files.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

namespace qz4 {

// Lower-cases A to Z, trims white space at both ends and turns the first '/' (only the
// first) into a backslash.
[[nodiscard]] std::wstring normalize_path(std::wstring_view path);

// Both normalised: the same number of backslash-separated components (empty ones count),
// each matched by wildcard_match.
[[nodiscard]] bool path_matches(std::wstring_view pattern, std::wstring_view path);

// One component: '?' takes one character, a final '*' takes the rest, any other '*' takes
// between zero characters and all but the last one. Runs in time proportional to the
// product of the lengths, whatever the pattern.
[[nodiscard]] bool wildcard_match(std::wstring_view pattern, std::wstring_view text);

class pattern_set {
public:
    // Takes a UTF-8 pattern; stored normalised, each once.
    void add_pattern(std::string_view pattern);
    // Whether any pattern matches the normalised relative path.
    [[nodiscard]] bool matches(std::wstring_view path) const;
    [[nodiscard]] bool empty() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::set<std::wstring> patterns_; // guarded by mutex_
};

// Normalised full-path pattern -> digest texts accepted for the files it matches.
using accepted_digests = std::map<std::wstring, std::set<std::string>>;

struct check_rules {
    pattern_set hard_patterns;
    pattern_set soft_patterns;
    accepted_digests accepted;
};

// Fills the rules from the configuration's `check` object; `acceptable_checksums` counts
// from version 3 on. False, with all rules empty, when an element has an unexpected type
// (the caller reports the configuration as invalid).
[[nodiscard]] bool build_check_rules(const nlohmann::json& config, std::uint32_t version,
                                     const std::wstring& game_dir, check_rules& rules);

// Whether the digest is accepted for the file at `target_path`: the first key (in key order)
// that matches the path decides, comparing digests without regard to A-Z case.
[[nodiscard]] bool digest_accepted(const accepted_digests& accepted, std::wstring_view target_path,
                                   std::string_view digest);

// Whether any key matches the path, so that some digest could be accepted for the file.
[[nodiscard]] bool accepts_edits_of(const accepted_digests& accepted, std::wstring_view target_path);

} // namespace qz4
