// The proxy setting of the system as programs started from now on find it: the proxy
// environment variables on Linux, the user's Internet settings in the registry on Windows (in
// the test's own Wine prefix). The earlier setting is restored on destruction.
#pragma once

#include <memory>
#include <string>

namespace qz4::test {

class system_proxy_setting {
public:
    // `proxy` ("127.0.0.1:3128") for http and https, except for the host `bypassed` (none when
    // empty).
    system_proxy_setting(const std::string& proxy, const std::string& bypassed);
    ~system_proxy_setting();
    system_proxy_setting(const system_proxy_setting&) = delete;
    system_proxy_setting& operator=(const system_proxy_setting&) = delete;

private:
    struct earlier;
    std::unique_ptr<earlier> earlier_;
};

} // namespace qz4::test
