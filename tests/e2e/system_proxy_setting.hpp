// The proxy setting of the system as programs started from now on find it: the proxy
// environment variables on Linux, the user's Internet settings in the registry on Windows (in
// the test's own Wine prefix). The earlier setting is restored on destruction.
#pragma once

#include <memory>
#include <string>

namespace qz4::test {

struct proxy_configuration {
    std::string proxy;    // "127.0.0.1:3128", for http and https; empty: none
    std::string bypassed; // a host sent around the proxy; empty: none
    // Windows only: the URL of an automatic configuration script (a PAC file).
    std::string script_url;
};

class system_proxy_setting {
public:
    explicit system_proxy_setting(const proxy_configuration& configuration);
    ~system_proxy_setting();
    system_proxy_setting(const system_proxy_setting&) = delete;
    system_proxy_setting& operator=(const system_proxy_setting&) = delete;

private:
    struct earlier;
    std::unique_ptr<earlier> earlier_;
};

} // namespace qz4::test
