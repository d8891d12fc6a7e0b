#include "net/downloader.hpp"
#include "net/proxy_routes.hpp"
#include "net/proxy_rules.hpp"

#include "tests/support/http_test_server.hpp"
#include "tests/support/memory_sink.hpp"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace qz4 {
namespace {

url_target target(const char* url) {
    const auto found = target_of(url);
    EXPECT_TRUE(found) << url;
    return found.value_or(url_target{});
}

TEST(ProxyRules, UrlsAreReadAsLibcurlReadsThem) {
    const url_target plain = target("http://CDN.Example.com/qz4/");
    EXPECT_EQ(plain.scheme, "http");
    EXPECT_EQ(plain.host, "cdn.example.com");
    EXPECT_EQ(plain.port, 80u);
    const url_target secure = target("https://[::1]:8443/x");
    EXPECT_EQ(secure.host, "::1");
    EXPECT_EQ(secure.port, 8443u);
    EXPECT_FALSE(target_of("not a url"));
}

TEST(ProxyRules, WindowsListsNameTheProxiesOfEachScheme) {
    struct row {
        const char* list;
        const char* scheme;
        std::vector<std::string> proxies;
    };
    const row rows[] = {
        {"proxy:8080", "https", {"http://proxy:8080"}},
        {"http=a:80;https=b:443", "http", {"http://a:80"}},
        {"http=a:80;https=b:443", "https", {"http://b:443"}},
        {"HTTPS=b:443; http=a:80", "https", {"http://b:443"}},
        {"a:3128 b:3128", "http", {"http://a:3128", "http://b:3128"}},
        {"http=a:80;every:1", "https", {"http://every:1"}},
        {"ftp=f:21;socks=s:1080", "https", {"socks4a://s:1080"}},
        {"socks=s:1080;https=b:443", "https", {"http://b:443"}},
        {"https=https://secure:443", "https", {"https://secure:443"}},
        {"http=a:80", "https", {}},
        {"https=;  ;", "https", {}},
        {"", "http", {}},
    };
    for (const row& r : rows)
        EXPECT_EQ(windows_proxies(r.list, r.scheme), r.proxies) << r.list << " for " << r.scheme;
}

TEST(ProxyRules, BypassListsAndNoProxyCoverTheirHosts) {
    struct row {
        const char* rule;
        const char* url;
        bool windows; // the rule is a Windows bypass list, else a no_proxy value
        bool covered;
    };
    const row rows[] = {
        {"<local>", "http://intranet/", true, true},
        {"<local>", "http://cdn.example.com/", true, false},
        {"<local>", "http://[::1]/", true, false},
        {"*.example.com", "https://cdn.example.com/", true, true},
        {"*.example.com", "https://example.com/", true, false},
        {"10.*;192.168.*", "http://10.1.2.3:8080/", true, true},
        {"CDN.EXAMPLE.COM", "http://cdn.example.com/", true, true},
        {"http://cdn.example.com", "https://cdn.example.com/", true, false},
        {"https://cdn.example.com:8443", "https://cdn.example.com:8443/", true, true},
        {"cdn.example.com:8443", "https://cdn.example.com/", true, false},
        {"a.example.org, cdn.example.com", "http://cdn.example.com/", true, true},
        {"*", "http://anything.example/", false, true},
        {"example.com", "http://cdn.example.com/", false, true},
        {".example.com", "http://cdn.example.com/", false, true},
        {"example.com", "http://badexample.com/", false, false},
        {"localhost, 127.0.0.1", "http://127.0.0.1:9/", false, true},
        {"10.0.0.0/8", "http://10.200.0.1/", false, true},
        {"10.0.0.0/8", "http://11.0.0.1/", false, false},
        {"[::1]", "http://[::1]:80/", false, true},
        {"", "http://cdn.example.com/", false, false},
    };
    for (const row& r : rows) {
        const url_target to = target(r.url);
        EXPECT_EQ(r.windows ? windows_bypasses(r.rule, to) : no_proxy_covers(r.rule, to), r.covered)
            << (r.windows ? "bypass " : "no_proxy ") << r.rule << " for " << r.url;
    }
}

TEST(ProxyRules, TheEnvironmentNamesAProxyPerScheme) {
    struct row {
        std::map<std::string, std::string> environment;
        const char* url;
        const char* proxy;
    };
    const row rows[] = {
        {{{"http_proxy", "p:3128"}}, "http://h/", "http://p:3128"},
        {{{"HTTP_PROXY", "p:3128"}}, "http://h/", ""}, // may come from a request's header
        {{{"http_proxy", "p:3128"}}, "https://h/", ""},
        {{{"HTTPS_PROXY", "http://s:1"}}, "https://h/", "http://s:1"},
        {{{"https_proxy", "http://s:1"}, {"all_proxy", "socks5h://a:2"}}, "https://h/", "http://s:1"},
        {{{"ALL_PROXY", "socks5h://a:2"}}, "http://h/", "socks5h://a:2"},
        {{{"http_proxy", "http://p:1"}, {"no_proxy", "h"}}, "http://h/", ""},
        {{{"http_proxy", "http://p:1"}, {"NO_PROXY", "*"}}, "http://x/", ""},
        {{{"http_proxy", "http://p:1"}, {"no_proxy", "other"}}, "http://h/", "http://p:1"},
        {{{"http_proxy", "  "}}, "http://h/", ""},
    };
    for (const row& r : rows) {
        const auto read = [&](const char* name) -> std::optional<std::string> {
            const auto found = r.environment.find(name);
            return found == r.environment.end() ? std::nullopt : std::optional(found->second);
        };
        EXPECT_EQ(environment_proxy(read, target(r.url)), r.proxy) << r.url;
    }
}

// --- transfers through the test server's proxies ---------------------------------------

using test::memory_sink;

// Marks requests of this run of the tests in the proxy log, which lives as long as the server.
std::string marked(const std::string& mark) {
    static const std::string run =
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    return mark + "-" + run;
}

// The proxy log's lines that name `mark`.
std::vector<std::string> logged(const std::string& mark) {
    std::vector<std::string> lines;
    std::istringstream log(test::proxy_log());
    for (std::string line; std::getline(log, line);)
        if (line.find(mark) != std::string::npos)
            lines.push_back(line);
    return lines;
}

// Routes that name the given proxies for every URL.
proxy_routes routes_through(std::vector<std::string> proxies) {
    return proxy_routes([proxies = std::move(proxies)](const std::string&) { return proxies; });
}

std::string strip_slash(std::string url) {
    if (!url.empty() && url.back() == '/')
        url.pop_back();
    return url;
}

struct fetched {
    transfer_result result;
    std::string body;
};

fetched fetch(downloader& loader, const std::string& url) {
    memory_sink sink;
    transfer_request request;
    request.url = url;
    request.deadline = std::chrono::seconds(30);
    request.connect_timeout = std::chrono::seconds(10);
    fetched outcome{loader.download(request, sink), {}};
    outcome.body = std::move(sink.text);
    return outcome;
}

TEST(ProxiedTransfers, GoThroughTheProxyAndAroundOneThatFails) {
    const auto& server = test::http_server();
    const std::string proxy = strip_slash(server.proxy_url);
    const std::string refusing = strip_slash(server.refusing_proxy_url);
    const std::string dead = strip_slash(server.refused_url);

    // Plain http in absolute form, and https through a tunnel, both from the proxy.
    proxy_routes forwarding = routes_through({proxy});
    downloader through_proxy(transfer_trust{server.ca_file}, forwarding);
    const auto plain = fetch(through_proxy, server.url("_/bytes/1000?mark=" + marked("forwarded-plain")));
    EXPECT_TRUE(plain.result.ok()) << plain.result.error;
    EXPECT_EQ(plain.body, test::generated_bytes(0, 1000));
    EXPECT_EQ(logged(marked("forwarded-plain")).size(), 1u);
    const std::string tls_authority = server.tls_url.substr(8, server.tls_url.size() - 9);
    // Only the forwarding proxy's tunnels: another test may ask the refusing one for the same host.
    const std::string tunnel = "forwarding CONNECT " + tls_authority;
    const std::size_t tunnels_before = logged(tunnel).size();
    const auto tunnelled = fetch(through_proxy, server.tls_url + "_/bytes/700");
    EXPECT_TRUE(tunnelled.result.ok()) << tunnelled.result.error;
    EXPECT_EQ(tunnelled.body, test::generated_bytes(0, 700));
    EXPECT_EQ(logged(tunnel).size(), tunnels_before + 1);

    // A host that is down behind a working proxy is the host's failure: the proxy is kept, so
    // that the next host of the run goes through it too.
    const auto down = fetch(through_proxy, server.refused_url + "down-behind-proxy");
    EXPECT_FALSE(down.result.ok());
    EXPECT_EQ(down.result.status, 502);
    const auto after = fetch(through_proxy, server.url("_/bytes/10?mark=" + marked("kept-after-down")));
    EXPECT_TRUE(after.result.ok());
    EXPECT_EQ(logged(marked("kept-after-down")).size(), 1u);

    // A proxy that refuses (407) or cannot be reached: the same request goes directly, and
    // later requests of the process pass the failed proxy over.
    for (const std::string& failing : {refusing, dead}) {
        SCOPED_TRACE(failing);
        proxy_routes around = routes_through({failing, proxy});
        downloader loader(transfer_trust{server.ca_file}, around);
        const std::string mark = marked("around-" + failing.substr(failing.rfind(':') + 1));
        const auto refused = [&] {
            const auto lines = logged(mark);
            return std::count_if(lines.begin(), lines.end(),
                                 [](const std::string& line) { return line.starts_with("refusing"); });
        };
        std::ptrdiff_t refused_by_first = 0;
        for (int request = 0; request < 2; ++request) {
            const auto outcome = fetch(loader, server.url("_/bytes/300?mark=" + mark));
            EXPECT_TRUE(outcome.result.ok()) << outcome.result.error;
            EXPECT_EQ(outcome.body, test::generated_bytes(0, 300));
            if (request == 0)
                refused_by_first = refused();
        }
        // The failing proxy was asked during the first request only (a refusing one may be
        // asked twice, as libcurl offers it the user's credentials); the second proxy took
        // both requests, since it comes before the direct way.
        EXPECT_EQ(refused_by_first > 0, failing == refusing);
        EXPECT_EQ(refused(), refused_by_first);
        EXPECT_EQ(logged(mark).size() - static_cast<std::size_t>(refused()), 2u);
    }
}

TEST(ProxiedTransfers, AllProxiesFailingLeaveTheDirectWay) {
    const auto& server = test::http_server();
    proxy_routes around =
        routes_through({strip_slash(server.refusing_proxy_url), strip_slash(server.refused_url)});
    downloader loader(transfer_trust{server.ca_file}, around);
    const auto secure = fetch(loader, server.tls_url + "_/bytes/500?mark=" + marked("direct-after-all"));
    EXPECT_TRUE(secure.result.ok()) << secure.result.error;
    EXPECT_EQ(secure.body, test::generated_bytes(0, 500));
    EXPECT_EQ(around.routes_for(server.base_url), std::vector<std::string>{""});
}

} // namespace
} // namespace qz4
