#include "fuzz/proxy_file_server.hpp"

#include "common/ascii_text.hpp"
#include "common/encoding.hpp"
#include "update/documents/manifests.hpp"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qz4::fuzz {

namespace {

constexpr std::size_t request_head_limit = 16 * 1024;

void send_all(int connection, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

std::string read_head(int connection) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < request_head_limit) {
        const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        head.append(buffer, static_cast<std::size_t>(got));
    }
    return head;
}

std::string response(std::string_view status, std::string_view body) {
    return "HTTP/1.1 " + std::string(status) + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + std::string(body);
}

} // namespace

proxy_file_server::proxy_file_server(std::filesystem::path root, std::string host)
    : root_(std::move(root)), host_(std::move(host)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        std::abort(); // no host, no target: never a silent pass
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

proxy_file_server::~proxy_file_server() {
    // Wakes the accept so that the thread sees the listener gone.
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
}

std::string proxy_file_server::proxy_url() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

void proxy_file_server::serve() {
    for (;;) {
        const int connection = ::accept(listener_, nullptr, nullptr);
        if (connection < 0)
            return;
        answer(connection);
        ::close(connection);
    }
}

void proxy_file_server::answer(int connection) const {
    const std::string head = read_head(connection);
    // A proxy's request names the whole URL: "GET http://host/path HTTP/1.1".
    const std::string prefix = "GET http://" + host_ + "/";
    if (head.rfind(prefix, 0) != 0) {
        send_all(connection, response("403 Forbidden", ""));
        return;
    }
    // The launcher asks for a file by its `r`, decoded here as the patch maker's records are,
    // which names nothing outside the served directory.
    const std::size_t end = head.find(' ', prefix.size());
    const std::optional<std::wstring> below =
        end == std::string::npos
            ? std::nullopt
            : server_copy_path(std::string_view(head).substr(prefix.size(), end - prefix.size()));
    const std::string path = below ? wide_to_utf8(replace_all(*below, L"\\", L"/")) : std::string();
    std::error_code error;
    if (path.empty() || !std::filesystem::is_regular_file(root_ / path, error)) {
        send_all(connection, response("404 Not Found", ""));
        return;
    }
    std::ifstream file(root_ / path, std::ios::binary);
    if (!file) {
        send_all(connection, response("404 Not Found", ""));
        return;
    }
    const std::string body((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    send_all(connection, response("200 OK", body));
}

} // namespace qz4::fuzz
