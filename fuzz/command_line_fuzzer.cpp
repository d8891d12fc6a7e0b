// The program's command line: split, matched against the flags, and passed on to the
// game. Input bytes are the command line in UTF-8.
#include "app/command_line.hpp"
#include "app/game_start.hpp"
#include "common/encoding.hpp"
#include "fuzz/fuzz_support.hpp"

#include <algorithm>
#include <cstdint>

using namespace qz4;

namespace {

using tokens = std::vector<std::wstring>;

// Splitting where no quote or backslash plays a part: at spaces, empty pieces dropped.
tokens split_at_spaces(std::wstring_view line) {
    tokens result;
    std::wstring piece;
    for (const wchar_t c : std::wstring(line) + L' ') {
        if (c != L' ') {
            piece += c;
        } else if (!piece.empty()) {
            result.push_back(piece);
            piece.clear();
        }
    }
    return result;
}

bool has_any(std::wstring_view text, std::wstring_view characters) {
    return text.find_first_of(characters) != std::wstring_view::npos;
}

bool names_flag(const tokens& split, std::wstring_view flag) {
    return std::any_of(
        split.begin() + std::min<std::size_t>(1, split.size()), split.end(), [&](const std::wstring& token) {
            if (token.size() != flag.size())
                return false;
            for (std::size_t i = 0; i < token.size(); ++i) {
                const wchar_t c = token[i] >= L'A' && token[i] <= L'Z' ? token[i] + 32 : token[i];
                if (c != flag[i])
                    return false;
            }
            return true;
        });
}

wchar_t folded(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c;
}

// The value of the last token that is `prefix` (letters folded) and digits alone worth 1 to
// `top`; `none` without one.
std::uint64_t last_value(const tokens& split, std::wstring_view prefix, std::uint64_t top,
                         std::uint64_t none) {
    std::uint64_t result = none;
    for (std::size_t i = 1; i < split.size(); ++i) {
        const std::wstring& token = split[i];
        if (token.size() <= prefix.size())
            continue;
        bool matches = true;
        for (std::size_t k = 0; k < prefix.size() && matches; ++k)
            matches = folded(token[k]) == prefix[k];
        const std::wstring digits = token.substr(prefix.size());
        if (!matches || digits.find_first_not_of(L"0123456789") != std::wstring::npos)
            continue;
        const std::size_t first = std::min(digits.find_first_not_of(L'0'), digits.size());
        if (digits.size() - first > 19)
            continue; // beyond any top
        const std::uint64_t value = first == digits.size() ? 0 : std::stoull(digits.substr(first));
        if (value >= 1 && value <= top)
            result = value;
    }
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring line = utf8_to_wide(fuzz::as_text(data, size));
    const tokens split = split_command_line(line);

    std::size_t characters = 0;
    for (const auto& token : split) {
        FUZZ_CHECK(!token.empty());
        characters += token.size();
    }
    FUZZ_CHECK(characters <= line.size());
    if (!has_any(line, L"\"\\"))
        FUZZ_CHECK(split == split_at_spaces(line));

    const start_options options = parse_start_options(split);
    FUZZ_CHECK(options.patch_maker == names_flag(split, L"-patchmaker"));
    FUZZ_CHECK(options.sleep_after == names_flag(split, L"-sleep"));
    FUZZ_CHECK(options.no_update == names_flag(split, L"-noupdate"));
    FUZZ_CHECK(options.self_update_allowed == !names_flag(split, L"-noselfupdate"));
    FUZZ_CHECK(options.repair == names_flag(split, L"-repair"));
    FUZZ_CHECK(options.connections ==
               last_value(split, L"-connections=", max_connections, default_connections));
    FUZZ_CHECK(options.max_rate == last_value(split, L"-maxrate=", max_rate_kib, 0) * 1024);

    // The game gets the launcher's arguments behind its quoted path, not quoted again: they
    // come back whole unless they hold a space, a quote or a backslash, and with spaces alone
    // they come back cut at the spaces.
    if (split.empty())
        return 0;
    const std::wstring game = L"C:\\Program Files\\Tarnwood\\client\\Client.exe";
    const tokens arguments(split.begin() + 1, split.end());
    const tokens seen = split_command_line(game_command_line(game, arguments));
    FUZZ_CHECK(!seen.empty() && seen.front() == game);
    const tokens seen_arguments(seen.begin() + 1, seen.end());
    if (std::none_of(arguments.begin(), arguments.end(),
                     [](const std::wstring& argument) { return has_any(argument, L"\"\\"); })) {
        tokens cut;
        for (const auto& argument : arguments)
            for (auto& piece : split_at_spaces(argument))
                cut.push_back(std::move(piece));
        FUZZ_CHECK(seen_arguments == cut);
    }
    return 0;
}
