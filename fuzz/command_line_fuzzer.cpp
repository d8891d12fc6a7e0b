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
    FUZZ_CHECK(options.connections >= 1 && options.connections <= max_connections);
    FUZZ_CHECK(options.max_rate % 1024 == 0 && options.max_rate <= max_rate_kib * 1024);

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
