// How the system's proxy settings apply to one URL: the lists Windows keeps (its Internet
// settings, or what automatic configuration answers) and the environment variables Unix tools
// read. Pure text rules, shared by every platform so that each is tested everywhere.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qz4 {

// Where a request goes, as proxy rules see it.
struct url_target {
    std::string scheme; // lower case: "http", "https"
    std::string host;   // lower case, an IPv6 address without its brackets
    unsigned port = 0;  // the scheme's default where the URL names none
};

// Nullopt for a URL libcurl would not take, or one without a host.
[[nodiscard]] std::optional<url_target> target_of(const std::string& url);

// The proxies Windows names for `scheme` in a list such as "proxy:8080",
// "http=a:80;https=b:443" or "a:3128; b:3128", best first, each as libcurl takes it
// ("http://a:80", "socks4a://s:1080"). An entry for the scheme wins over one for every scheme;
// a SOCKS entry serves only where neither exists, as in Windows.
[[nodiscard]] std::vector<std::string> windows_proxies(std::string_view list, std::string_view scheme);

// Whether Windows' bypass list ("<local>;*.corp.example;10.*;http://intranet:8080") sends
// `target` around the proxy. "<local>" takes a host name without a dot; a pattern may name a
// scheme and a port, and its host part takes "*" and "?" wildcards, letter case ignored.
[[nodiscard]] bool windows_bypasses(std::string_view bypass_list, const url_target& target);

// Reads an environment variable; nullopt when it is not set.
using environment_reader = std::function<std::optional<std::string>(const char* name)>;

// The proxy the environment names for `target`, as curl and most Unix tools read it:
// "http_proxy" (lower case only, since a web server may set HTTP_PROXY from a request's
// header), "https_proxy" or "HTTPS_PROXY", then "all_proxy" or "ALL_PROXY"; none where
// "no_proxy" (or "NO_PROXY") covers the host. Empty: direct.
[[nodiscard]] std::string environment_proxy(const environment_reader& environment, const url_target& target);

// curl's reading of a no_proxy list: "*" covers every host; otherwise names separated by commas
// or spaces, each covering itself and the names below it ("example.com" and ".example.com"
// both cover "cdn.example.com"), and IPv4 ranges such as "10.0.0.0/8".
[[nodiscard]] bool no_proxy_covers(std::string_view no_proxy, const url_target& target);

} // namespace qz4
