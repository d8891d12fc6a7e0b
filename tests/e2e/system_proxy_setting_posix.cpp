#include "tests/e2e/system_proxy_setting.hpp"

#include <cstdlib>
#include <map>
#include <optional>
#include <stdexcept>

namespace qz4::test {

namespace {

constexpr const char* proxy_variables[] = {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
                                           "ALL_PROXY",  "no_proxy",    "NO_PROXY"};

void set_or_unset(const char* name, const std::optional<std::string>& value) {
    if (value)
        ::setenv(name, value->c_str(), 1);
    else
        ::unsetenv(name);
}

} // namespace

struct system_proxy_setting::earlier {
    std::map<std::string, std::optional<std::string>> values;
};

system_proxy_setting::system_proxy_setting(const proxy_configuration& configuration)
    : earlier_(std::make_unique<earlier>()) {
    if (!configuration.script_url.empty())
        throw std::logic_error("the proxy environment names no configuration script");
    for (const char* name : proxy_variables) {
        const char* value = std::getenv(name);
        earlier_->values[name] = value ? std::optional<std::string>(value) : std::nullopt;
        ::unsetenv(name);
    }
    if (!configuration.proxy.empty()) {
        const std::string url = "http://" + configuration.proxy;
        ::setenv("http_proxy", url.c_str(), 1);
        ::setenv("https_proxy", url.c_str(), 1);
    }
    if (!configuration.bypassed.empty())
        ::setenv("no_proxy", configuration.bypassed.c_str(), 1);
}

system_proxy_setting::~system_proxy_setting() {
    for (const auto& [name, value] : earlier_->values)
        set_or_unset(name.c_str(), value);
}

} // namespace qz4::test
