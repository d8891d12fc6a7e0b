#include "app/command_line.hpp"

#include "common/ascii_text.hpp"

#include <array>
#include <optional>

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

namespace {

// Sets the option a whole-token flag stands for; false when the token is none of them.
bool apply_switch(std::wstring_view token, start_options& options) {
    struct switch_flag {
        const wchar_t* text;
        void (*apply)(start_options&);
    };
    static constexpr std::array<switch_flag, 5> switches = {{
        {L"-patchmaker", [](start_options& o) { o.patch_maker = true; }},
        {L"-sleep", [](start_options& o) { o.sleep_after = true; }},
        {L"-noupdate", [](start_options& o) { o.no_update = true; }},
        {L"-noselfupdate", [](start_options& o) { o.self_update_allowed = false; }},
        {L"-repair", [](start_options& o) { o.repair = true; }},
    }};
    for (const auto& flag : switches) {
        if (equals_ci(token, flag.text)) {
            flag.apply(options);
            return true;
        }
    }
    return false;
}

// What follows `prefix` in the token, when it begins with it (ASCII letters folded).
std::optional<std::wstring_view> value_after(std::wstring_view token, std::wstring_view prefix) {
    if (token.size() < prefix.size() || !equals_ci(token.substr(0, prefix.size()), prefix))
        return std::nullopt;
    return token.substr(prefix.size());
}

// Decimal digits alone, 1 to `top`; no sign, no spaces. Stops before the value could wrap.
std::optional<std::uint64_t> number_in_range(std::wstring_view text, std::uint64_t top) {
    if (text.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - L'0');
        if (value > top)
            return std::nullopt;
    }
    if (value == 0)
        return std::nullopt;
    return value;
}

void apply_value(std::wstring_view token, start_options& options) {
    if (const auto text = value_after(token, L"-connections=")) {
        if (const auto count = number_in_range(*text, max_connections))
            options.connections = static_cast<std::uint32_t>(*count);
    } else if (const auto rate = value_after(token, L"-maxrate=")) {
        if (const auto kib = number_in_range(*rate, max_rate_kib))
            options.max_rate = *kib * 1024;
    }
}

} // namespace

start_options parse_start_options(const std::vector<std::wstring>& tokens) {
    start_options options;
    for (std::size_t i = 1; i < tokens.size(); ++i)
        if (!apply_switch(tokens[i], options))
            apply_value(tokens[i], options);
    return options;
}

} // namespace qz4
