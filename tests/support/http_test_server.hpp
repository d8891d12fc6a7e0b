// The HTTP test server (tests/support/http_test_server.py) as tests see it: its base URLs over
// http and https, the directory it serves, a URL that refuses connections, the authority its
// certificates come from, its two proxies, and the bytes it generates.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace qz4::test {

struct http_test_server {
    std::string base_url;       // "http://127.0.0.1:<port>/"
    std::string refused_url;    // a loopback port held closed while the server runs
    std::string tls_url;        // "https://localhost:<port>/", the same routes, a certificate for localhost
    std::string other_name_url; // the same with a certificate for another name
    std::string proxy_url;      // a forward proxy (absolute-form requests and CONNECT tunnels)
    std::string refusing_proxy_url; // a proxy that refuses every request (407)
    std::string ca_file;        // the authority of both certificates (UTF-8, as the test program opens it)
    std::filesystem::path root; // the file root/a/b is served at base_url + "a/b"

    [[nodiscard]] std::string url(std::string_view path) const {
        std::string result = base_url;
        result.append(path);
        return result;
    }
};

// The server that the CTest fixture qz4_http_server started (found through the state directory
// built into the tests, or QZ4_TEST_HTTP_SERVER_DIR). Throws std::runtime_error, with the
// command that starts one, when none is running.
[[nodiscard]] const http_test_server& http_server();

// The requests both proxies took so far, one "<forwarding|refusing> <method> <target>" line each.
[[nodiscard]] std::string proxy_log();

// The bytes of a generated body (/_/bytes/<n>, /_/endless) from `offset` on.
[[nodiscard]] std::string generated_bytes(std::size_t offset, std::size_t count);

} // namespace qz4::test
