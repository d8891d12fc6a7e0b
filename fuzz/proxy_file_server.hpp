// The update host of the update_run target: a web proxy in this process that serves the
// files of one directory for one made-up host and refuses everything else at once, so that
// the run speaks http as the program does, and no input reaches the network or a file
// outside that directory.
#pragma once

#include <filesystem>
#include <string>
#include <thread>

namespace qz4::fuzz {

class proxy_file_server {
public:
    // Serves `root` as http://<host>/ to clients that take this server as their proxy.
    proxy_file_server(std::filesystem::path root, std::string host);
    ~proxy_file_server();
    proxy_file_server(const proxy_file_server&) = delete;
    proxy_file_server& operator=(const proxy_file_server&) = delete;

    // The proxy's own URL, for http_proxy.
    [[nodiscard]] std::string proxy_url() const;

private:
    void serve();
    void answer(int connection) const;

    std::filesystem::path root_;
    std::string host_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_; // the only one that touches a connection
};

} // namespace qz4::fuzz
