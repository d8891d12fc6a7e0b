#include "net/proxy_rules.hpp"

#include "common/ascii_text.hpp"
#include "common/file_system.hpp"

#include <curl/curl.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <memory>

namespace qz4 {

namespace {

struct url_handle_free {
    void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};
struct curl_text_free {
    void operator()(char* text) const noexcept { curl_free(text); }
};

std::optional<std::string> url_part(CURLU* url, CURLUPart part, unsigned flags) {
    char* raw = nullptr;
    if (curl_url_get(url, part, &raw, flags) != CURLUE_OK || raw == nullptr)
        return std::nullopt;
    const std::unique_ptr<char, curl_text_free> owned(raw);
    return std::string(raw);
}

// The non-empty pieces of `text` between any of `separators`, trimmed.
std::vector<std::string_view> pieces(std::string_view text, std::string_view separators) {
    std::vector<std::string_view> found;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of(separators);
        const std::string_view piece = trimmed(text.substr(0, end));
        if (!piece.empty())
            found.push_back(piece);
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return found;
}

bool has_scheme(std::string_view address) {
    return address.find("://") != std::string_view::npos;
}

std::wstring widened(std::string_view ascii) {
    return {ascii.begin(), ascii.end()};
}

std::optional<std::uint32_t> ipv4_value(std::string_view text) {
    std::uint32_t value = 0;
    int parts = 0;
    for (const std::string_view part : pieces(text, ".")) {
        unsigned octet = 0;
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), octet);
        if (error != std::errc{} || end != part.data() + part.size() || octet > 255 || ++parts > 4)
            return std::nullopt;
        value = value << 8 | octet;
    }
    if (parts != 4 || text.find("..") != std::string_view::npos)
        return std::nullopt;
    return value;
}

bool in_ipv4_range(std::string_view range, std::string_view host) {
    const std::size_t slash = range.find('/');
    unsigned bits = 0;
    const std::string_view length = range.substr(slash + 1);
    const auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), bits);
    const auto network = ipv4_value(range.substr(0, slash));
    const auto address = ipv4_value(host);
    if (error != std::errc{} || end != length.data() + length.size() || bits > 32 || !network || !address)
        return false;
    const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    return (*network & mask) == (*address & mask);
}

bool no_proxy_entry_covers(std::string_view entry, const url_target& target) {
    if (entry.find('/') != std::string_view::npos)
        return in_ipv4_range(entry, target.host);
    if (entry.size() > 1 && entry.front() == '[' && entry.back() == ']')
        entry = entry.substr(1, entry.size() - 2);
    while (!entry.empty() && entry.front() == '.')
        entry.remove_prefix(1);
    if (entry.empty())
        return false;
    const std::string name = to_lower(entry);
    return target.host == name || ends_with(target.host, "." + name);
}

// One bypass entry: [scheme://]host-pattern[:port].
bool bypass_entry_covers(std::string_view entry, const url_target& target) {
    if (const std::size_t mark = entry.find("://"); mark != std::string_view::npos) {
        if (!equals_ci(entry.substr(0, mark), target.scheme))
            return false;
        entry.remove_prefix(mark + 3);
    }
    // A port follows the last colon, unless that colon is inside an IPv6 address.
    const std::size_t colon = entry.rfind(':');
    const std::size_t bracket = entry.rfind(']');
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket) &&
        entry.find(':') == colon) {
        const std::string_view port = entry.substr(colon + 1);
        if (port != "*" && port != std::to_string(target.port))
            return false;
        entry = entry.substr(0, colon);
    }
    if (entry.size() > 1 && entry.front() == '[' && entry.back() == ']')
        entry = entry.substr(1, entry.size() - 2);
    return !entry.empty() && name_matches_pattern(widened(target.host), widened(entry));
}

std::optional<std::string> first_set(const environment_reader& environment,
                                     std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (auto value = environment(name); value && !trimmed(*value).empty())
            return std::string(trimmed(*value));
    return std::nullopt;
}

} // namespace

std::optional<url_target> target_of(const std::string& url) {
    const std::unique_ptr<CURLU, url_handle_free> handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    auto scheme = url_part(handle.get(), CURLUPART_SCHEME, 0);
    auto host = url_part(handle.get(), CURLUPART_HOST, 0);
    const auto port = url_part(handle.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (!scheme || !host || host->empty() || !port)
        return std::nullopt;
    if (host->size() > 1 && host->front() == '[' && host->back() == ']')
        *host = host->substr(1, host->size() - 2);
    url_target target{to_lower(*scheme), to_lower(*host), 0};
    const auto [end, error] = std::from_chars(port->data(), port->data() + port->size(), target.port);
    if (error != std::errc{} || end != port->data() + port->size())
        return std::nullopt;
    return target;
}

std::vector<std::string> windows_proxies(std::string_view list, std::string_view scheme) {
    std::vector<std::string> own, every, socks;
    for (const std::string_view entry : pieces(list, "; \t\r\n")) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string_view::npos || has_scheme(entry.substr(0, equals))) {
            every.emplace_back(has_scheme(entry) ? std::string(entry) : "http://" + std::string(entry));
            continue;
        }
        const std::string_view key = trimmed(entry.substr(0, equals));
        const std::string_view address = trimmed(entry.substr(equals + 1));
        if (address.empty())
            continue;
        if (equals_ci(key, "socks"))
            socks.emplace_back(has_scheme(address) ? std::string(address)
                                                   : "socks4a://" + std::string(address));
        else if (equals_ci(key, scheme))
            own.emplace_back(has_scheme(address) ? std::string(address) : "http://" + std::string(address));
    }
    if (!own.empty())
        return own;
    return every.empty() ? socks : every;
}

bool windows_bypasses(std::string_view bypass_list, const url_target& target) {
    for (const std::string_view entry : pieces(bypass_list, "; \t\r\n,")) {
        if (equals_ci(entry, "<local>")) {
            if (target.host.find('.') == std::string::npos && target.host.find(':') == std::string::npos)
                return true;
        } else if (bypass_entry_covers(entry, target)) {
            return true;
        }
    }
    return false;
}

bool no_proxy_covers(std::string_view no_proxy, const url_target& target) {
    if (trimmed(no_proxy) == "*")
        return true;
    for (const std::string_view entry : pieces(no_proxy, ", \t"))
        if (no_proxy_entry_covers(entry, target))
            return true;
    return false;
}

std::string environment_proxy(const environment_reader& environment, const url_target& target) {
    if (const auto no_proxy = first_set(environment, {"no_proxy", "NO_PROXY"});
        no_proxy && no_proxy_covers(*no_proxy, target))
        return {};
    std::optional<std::string> proxy;
    if (target.scheme == "http")
        proxy = first_set(environment, {"http_proxy"});
    else if (target.scheme == "https")
        proxy = first_set(environment, {"https_proxy", "HTTPS_PROXY"});
    if (!proxy)
        proxy = first_set(environment, {"all_proxy", "ALL_PROXY"});
    if (!proxy)
        return {};
    return has_scheme(*proxy) ? *proxy : "http://" + *proxy;
}

} // namespace qz4
