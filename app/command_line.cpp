#include "app/command_line.hpp"

#include "common/text.hpp"

#include <array>

namespace qz4 {

std::vector<std::wstring> split_command_line(std::wstring_view command_line) {
    std::vector<std::wstring> tokens;
    std::wstring token;
    bool in_quotes = false;
    bool after_backslash = false;
    for (const wchar_t c : command_line) {
        if (c == L'"') {
            if (after_backslash) {
                token.push_back(L'"');
                after_backslash = false;
            } else {
                in_quotes = !in_quotes;
            }
        } else if (in_quotes) {
            token.push_back(c);
        } else if (c == L' ') {
            if (!token.empty()) {
                tokens.push_back(std::move(token));
                token.clear();
            }
        } else {
            if (c != L'\\')
                token.push_back(c);
            else if (after_backslash)
                token.push_back(L'"');
            after_backslash = c == L'\\';
        }
    }
    if (!token.empty())
        tokens.push_back(std::move(token));
    return tokens;
}

start_options parse_start_options(const std::vector<std::wstring>& tokens) {
    enum flag { patch_maker, sleep, no_update, no_self_update };
    static constexpr std::array<const wchar_t*, 4> flag_texts = {L"-patchmaker", L"-sleep", L"-noupdate",
                                                                 L"-noselfupdate"};
    start_options options;
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        for (std::size_t f = 0; f < flag_texts.size(); ++f) {
            if (!equals_ci(tokens[i], flag_texts[f]))
                continue;
            switch (f) {
            case patch_maker:
                options.patch_maker = true;
                break;
            case sleep:
                options.sleep_after = true;
                break;
            case no_update:
                options.no_update = true;
                break;
            case no_self_update:
                options.self_update_allowed = false;
                break;
            }
            break;
        }
    }
    return options;
}

} // namespace qz4
