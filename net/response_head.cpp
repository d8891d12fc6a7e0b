#include "net/response_head.hpp"

#include "common/ascii_text.hpp"

#include <charconv>

namespace qz4 {

namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool starts_with_ci(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (lower(text[i]) != lower(prefix[i]))
            return false;
    return true;
}

std::string_view without_leading_blanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    return text;
}

// Decimal digits at the start of the text; a number beyond 64 bits is none.
std::optional<std::uint64_t> leading_number(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data())
        return std::nullopt;
    return value;
}

} // namespace

std::string validator_value(std::string_view value) {
    value = trimmed(value);
    if (value.empty() || value.size() > validator_length_cap)
        return {};
    for (const char c : value)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return {};
    return std::string(value);
}

void read_header_line(std::string_view line, response_head& head) {
    if (starts_with_ci(line, "HTTP/")) {
        head = {};
        const std::size_t blank = line.find(' ');
        if (blank == std::string_view::npos)
            return;
        const auto status = leading_number(line.substr(blank + 1));
        // Three digits; anything else is no status we know.
        if (status && *status >= 100 && *status <= 999)
            head.status = static_cast<int>(*status);
    } else if (starts_with_ci(line, "content-range:")) {
        const std::string_view value = without_leading_blanks(line.substr(14));
        if (starts_with_ci(value, "bytes "))
            head.range_start = leading_number(without_leading_blanks(value.substr(6)));
    } else if (starts_with_ci(line, "etag:")) {
        head.etag = validator_value(line.substr(5));
    } else if (starts_with_ci(line, "last-modified:")) {
        head.last_modified = validator_value(line.substr(14));
    }
}

} // namespace qz4
