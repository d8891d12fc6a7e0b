#include "tests/support/http_test_server.hpp"

#include "net/downloader.hpp"
#include "tests/support/memory_sink.hpp"

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace qz4::test {

namespace {

std::filesystem::path state_directory() {
    if (const char* overridden = std::getenv("QZ4_TEST_HTTP_SERVER_DIR"); overridden && *overridden)
        return std::filesystem::u8path(overridden);
    return std::filesystem::u8path(QZ4_HTTP_SERVER_STATE_DIR);
}

http_test_server find_server() {
    const auto directory = state_directory();
    std::ifstream in(directory / "server.txt");
    http_test_server server;
    std::string line;
    while (std::getline(in, line)) {
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals);
        if (key == "base_url")
            server.base_url = line.substr(equals + 1);
        else if (key == "refused_url")
            server.refused_url = line.substr(equals + 1);
        else if (key == "tls_url")
            server.tls_url = line.substr(equals + 1);
        else if (key == "other_name_url")
            server.other_name_url = line.substr(equals + 1);
        else if (key == "proxy_url")
            server.proxy_url = line.substr(equals + 1);
        else if (key == "refusing_proxy_url")
            server.refusing_proxy_url = line.substr(equals + 1);
    }
    if (server.base_url.empty() || server.refused_url.empty() || server.tls_url.empty() ||
        server.other_name_url.empty() || server.proxy_url.empty() || server.refusing_proxy_url.empty())
        throw std::runtime_error("the HTTP test server is not running (no " +
                                 (directory / "server.txt").string() +
                                 "); ctest starts it, or: python3 tests/support/http_test_server.py start "
                                 "--state-dir " +
                                 directory.string());
    server.root = directory / "root";
    const std::u8string ca_file = (directory / "tls" / "ca.pem").u8string();
    server.ca_file.assign(ca_file.begin(), ca_file.end());
    return server;
}

} // namespace

const http_test_server& http_server() {
    // Read once per test program; a failed read is retried by the next test.
    static std::mutex mutex;
    static http_test_server server; // guarded by mutex until filled
    const std::lock_guard lock(mutex);
    if (server.base_url.empty())
        server = find_server();
    return server;
}

std::string proxy_log() {
    memory_sink sink;
    downloader direct({}, direct_routes());
    transfer_request request;
    request.url = http_server().proxy_url + "_/proxy-log";
    if (!direct.download(request, sink).ok())
        throw std::runtime_error("the test proxy's log could not be read: " + direct.last_error);
    return sink.text;
}

std::string generated_bytes(std::size_t offset, std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>((offset + i) % 251);
    return bytes;
}

} // namespace qz4::test
