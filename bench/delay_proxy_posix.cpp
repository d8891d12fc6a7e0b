// One thread accepts; each connection gets two: client to server (each piece sent once its
// delay is over) and server to client (at once). Closing every socket ends them all.
#include "bench/delay_proxy.hpp"

#include "common/system_call_posix.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qz4::bench {

namespace {

constexpr std::size_t piece_size = 256 * 1024;

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Small requests must not wait for Nagle's algorithm on top of the delay.
void send_at_once(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = retry_interrupted([&] { return ::send(fd, data, size, MSG_NOSIGNAL); });
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Copies until either side ends, waiting `delay` after each read before passing it on; then
// tells the other side no more comes.
void pump(int from, int to, std::chrono::milliseconds delay) {
    std::vector<char> piece(piece_size);
    while (true) {
        const ssize_t got = retry_interrupted([&] { return ::recv(from, piece.data(), piece.size(), 0); });
        if (got <= 0)
            break;
        if (delay.count() > 0)
            std::this_thread::sleep_for(delay);
        if (!write_all(to, piece.data(), static_cast<std::size_t>(got)))
            break;
    }
    ::shutdown(to, SHUT_WR);
}

} // namespace

struct delay_proxy::relay {
    std::uint16_t target_port = 0;
    std::chrono::milliseconds delay{};
    int listener = -1;
    std::uint16_t port = 0;
    std::atomic<bool> stopping{false};
    std::thread acceptor;
    std::mutex mutex;         // guards the two lists below
    std::vector<int> sockets; // every relayed socket, closed at the end
    std::vector<std::thread> pumps;

    void accept_loop() {
        while (!stopping) {
            pollfd waiting{listener, POLLIN, 0};
            if (::poll(&waiting, 1, 100) <= 0)
                continue;
            const int client = ::accept(listener, nullptr, nullptr);
            if (client < 0)
                continue;
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in target = loopback(target_port);
            if (server < 0 ||
                ::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
                ::close(client);
                if (server >= 0)
                    ::close(server);
                continue;
            }
            send_at_once(client);
            send_at_once(server);
            std::lock_guard lock(mutex);
            sockets.push_back(client);
            sockets.push_back(server);
            pumps.emplace_back(pump, client, server, delay);
            pumps.emplace_back(pump, server, client, std::chrono::milliseconds::zero());
        }
    }
};

delay_proxy::delay_proxy(std::uint16_t target_port, std::chrono::milliseconds delay)
    : relay_(std::make_unique<relay>()) {
    relay_->target_port = target_port;
    relay_->delay = delay;
    relay_->listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in any_port = loopback(0);
    socklen_t length = sizeof any_port;
    sockaddr_in bound{};
    if (relay_->listener < 0 ||
        ::bind(relay_->listener, reinterpret_cast<const sockaddr*>(&any_port), sizeof any_port) != 0 ||
        ::listen(relay_->listener, 64) != 0 ||
        ::getsockname(relay_->listener, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        if (relay_->listener >= 0)
            ::close(relay_->listener);
        throw std::runtime_error("the delaying proxy cannot listen");
    }
    relay_->port = ntohs(bound.sin_port);
    relay_->acceptor = std::thread([this] { relay_->accept_loop(); });
}

delay_proxy::~delay_proxy() {
    relay_->stopping = true;
    relay_->acceptor.join();
    ::close(relay_->listener);
    std::lock_guard lock(relay_->mutex);
    for (const int fd : relay_->sockets)
        ::shutdown(fd, SHUT_RDWR); // wakes the pumps, which then end
    for (auto& thread : relay_->pumps)
        thread.join();
    for (const int fd : relay_->sockets)
        ::close(fd);
}

std::uint16_t delay_proxy::port() const {
    return relay_->port;
}

} // namespace qz4::bench
