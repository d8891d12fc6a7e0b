// The ways a request may take to its host: through each proxy the system names for it, then
// directly. A proxy that fails is passed over by every later request of the process, so that
// a dead proxy costs one connection attempt per run, not one per file.
#pragma once

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace qz4 {

// The proxies for a URL, best first, as libcurl takes them ("http://proxy:3128"); none: direct.
// Called from any transfer thread at once.
using proxy_finder = std::function<std::vector<std::string>(const std::string& url)>;

class proxy_routes {
public:
    explicit proxy_routes(proxy_finder finder) : finder_(std::move(finder)) {}

    // Each proxy for `url` that has not failed, then the direct way (an empty string), last.
    [[nodiscard]] std::vector<std::string> routes_for(const std::string& url);
    // The proxy could not be used (not reached, or it refused the request itself).
    void proxy_failed(const std::string& proxy);

private:
    const proxy_finder finder_;
    std::mutex mutex_;
    std::set<std::string> failed_; // guarded by mutex_
};

// The process's routes, from the proxy settings of the system and the user (the Internet
// settings on Windows, with automatic configuration; the proxy environment elsewhere).
[[nodiscard]] proxy_routes& system_proxy_routes();

// Routes that are always direct, for transfers that must not depend on the machine's settings.
[[nodiscard]] proxy_routes& direct_routes();

} // namespace qz4
