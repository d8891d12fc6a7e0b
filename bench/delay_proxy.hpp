// A TCP relay on loopback that holds what a client sends for a fixed time before passing it
// on, and passes the answers back at once: the latency of a distant server in front of one
// that has none (nginx on loopback). Each request then pays the delay once.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

namespace qz4::bench {

class delay_proxy {
public:
    // Listens on a free loopback port and relays each connection to 127.0.0.1:`target_port`.
    delay_proxy(std::uint16_t target_port, std::chrono::milliseconds delay);
    // Stops accepting, closes every relayed connection and joins its threads.
    ~delay_proxy();
    delay_proxy(const delay_proxy&) = delete;
    delay_proxy& operator=(const delay_proxy&) = delete;

    [[nodiscard]] std::uint16_t port() const;

private:
    struct relay;
    std::unique_ptr<relay> relay_;
};

} // namespace qz4::bench
