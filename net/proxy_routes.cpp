#include "net/proxy_routes.hpp"

#include <algorithm>

namespace qz4 {

std::vector<std::string> proxy_routes::routes_for(const std::string& url) {
    std::vector<std::string> routes = finder_ ? finder_(url) : std::vector<std::string>{};
    {
        const std::lock_guard lock(mutex_);
        std::erase_if(routes,
                      [&](const std::string& proxy) { return proxy.empty() || failed_.contains(proxy); });
    }
    routes.emplace_back();
    return routes;
}

void proxy_routes::proxy_failed(const std::string& proxy) {
    const std::lock_guard lock(mutex_);
    failed_.insert(proxy);
}

proxy_routes& direct_routes() {
    static proxy_routes routes{proxy_finder{}};
    return routes;
}

} // namespace qz4
