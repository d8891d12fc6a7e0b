// Unix programs name their proxy in the environment; read once, as the process started.
#include "net/proxy_routes.hpp"
#include "net/proxy_rules.hpp"

#include <cstdlib>
#include <map>
#include <optional>

namespace qz4 {

namespace {

std::vector<std::string> environment_proxies(const std::map<std::string, std::string>& environment,
                                             const std::string& url) {
    const auto target = target_of(url);
    if (!target)
        return {};
    const auto read = [&](const char* name) -> std::optional<std::string> {
        const auto found = environment.find(name);
        return found == environment.end() ? std::nullopt : std::optional(found->second);
    };
    std::string proxy = environment_proxy(read, *target);
    if (proxy.empty())
        return {};
    return {std::move(proxy)};
}

} // namespace

proxy_routes& system_proxy_routes() {
    static proxy_routes routes{[] {
        std::map<std::string, std::string> environment;
        for (const char* name :
             {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
            if (const char* value = std::getenv(name))
                environment.emplace(name, value);
        return [environment](const std::string& url) { return environment_proxies(environment, url); };
    }()};
    return routes;
}

} // namespace qz4
