#include "fuzz/proxy_file_server.hpp"

#include <cstdlib>
#include <fstream>
#include <iterator>
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

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The path as the server's file system names it; empty for one that is malformed or that
// would lead out of the served directory.
std::string decoded_path(std::string_view target) {
    std::string path;
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target[i] == '?' || target[i] == '#')
            break;
        if (target[i] != '%') {
            path.push_back(target[i]);
            continue;
        }
        const int high = i + 2 < target.size() ? hex_value(target[i + 1]) : -1;
        const int low = high >= 0 ? hex_value(target[i + 2]) : -1;
        if (low < 0)
            return {};
        path.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string::npos ||
        path.find("..") != std::string::npos)
        return {};
    return path;
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
    const std::size_t end = head.find(' ', prefix.size());
    const std::string path =
        end == std::string::npos
            ? std::string()
            : decoded_path(std::string_view(head).substr(prefix.size(), end - prefix.size()));
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
