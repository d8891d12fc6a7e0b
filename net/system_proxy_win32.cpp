// Windows keeps the user's proxy in the Internet settings: a fixed proxy with its bypass list,
// an automatic configuration script, or automatic detection (WPAD). WinHTTP reads them and
// runs the script; its answers are kept for the life of the process, per scheme, host and port,
// since detection may take seconds and every file of a pass goes to the same hosts.
#include "net/proxy_routes.hpp"
#include "net/proxy_rules.hpp"

#include "common/encoding.hpp"

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace qz4 {

namespace {

struct global_text_free {
    void operator()(wchar_t* text) const noexcept { GlobalFree(text); }
};
using global_text = std::unique_ptr<wchar_t, global_text_free>;

struct internet_close {
    void operator()(void* handle) const noexcept { WinHttpCloseHandle(handle); }
};
using internet_handle = std::unique_ptr<void, internet_close>;

std::string narrow(const wchar_t* text) {
    return text == nullptr ? std::string() : wide_to_utf8(text);
}

// What the user's Internet settings say, read once.
struct internet_settings {
    bool automatic_detection = false;
    std::wstring script_url;
    std::string proxies; // "proxy:8080" or "http=a:80;https=b:443"
    std::string bypass;
};

internet_settings read_internet_settings() {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config))
        return {};
    const global_text script(config.lpszAutoConfigUrl);
    const global_text proxy(config.lpszProxy);
    const global_text bypass(config.lpszProxyBypass);
    internet_settings settings;
    settings.automatic_detection = config.fAutoDetect != FALSE;
    if (script)
        settings.script_url = script.get();
    settings.proxies = narrow(proxy.get());
    settings.bypass = narrow(bypass.get());
    return settings;
}

std::vector<std::string> fixed_proxies(const std::string& list, const std::string& bypass,
                                       const url_target& target) {
    if (list.empty() || windows_bypasses(bypass, target))
        return {};
    return windows_proxies(list, target.scheme);
}

class windows_proxy_finder {
public:
    windows_proxy_finder() : settings_(read_internet_settings()) {
        if (settings_.automatic_detection || !settings_.script_url.empty())
            session_.reset(WinHttpOpen(L"qz4launcher", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
    }

    std::vector<std::string> proxies_for(const std::string& url) {
        const auto target = target_of(url);
        if (!target)
            return {};
        const std::string key = target->scheme + "://" + target->host + ":" + std::to_string(target->port);
        {
            const std::lock_guard lock(mutex_);
            if (const auto known = answers_.find(key); known != answers_.end())
                return known->second;
        }
        // Outside the lock: a script may take long, and other hosts need not wait for it.
        std::vector<std::string> proxies = find(url, *target);
        const std::lock_guard lock(mutex_);
        return answers_.emplace(key, std::move(proxies)).first->second;
    }

private:
    std::vector<std::string> find(const std::string& url, const url_target& target) {
        if (auto automatic = automatic_proxies(url, target))
            return std::move(*automatic);
        return fixed_proxies(settings_.proxies, settings_.bypass, target);
    }

    // Nullopt when automatic configuration is off or found nothing: the fixed settings apply.
    std::optional<std::vector<std::string>> automatic_proxies(const std::string& url,
                                                              const url_target& target) {
        if (!session_ || automatic_failed_)
            return std::nullopt;
        WINHTTP_AUTOPROXY_OPTIONS options{};
        if (settings_.automatic_detection) {
            options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
            options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        }
        if (!settings_.script_url.empty()) {
            options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
            options.lpszAutoConfigUrl = settings_.script_url.c_str();
        }
        // The script's server may ask who the user is, as the proxy itself may.
        options.fAutoLogonIfChallenged = TRUE;
        WINHTTP_PROXY_INFO info{};
        if (!WinHttpGetProxyForUrl(session_.get(), utf8_to_wide(url).c_str(), &options, &info)) {
            // No script to be found now will be found for the next host either.
            automatic_failed_ = true;
            return std::nullopt;
        }
        const global_text proxy(info.lpszProxy);
        const global_text bypass(info.lpszProxyBypass);
        if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY)
            return std::vector<std::string>{};
        return fixed_proxies(narrow(proxy.get()), narrow(bypass.get()), target);
    }

    const internet_settings settings_;
    internet_handle session_;
    std::atomic<bool> automatic_failed_{false};
    std::mutex mutex_;
    std::map<std::string, std::vector<std::string>> answers_; // guarded by mutex_
};

} // namespace

proxy_routes& system_proxy_routes() {
    static windows_proxy_finder finder;
    static proxy_routes routes{[](const std::string& url) { return finder.proxies_for(url); }};
    return routes;
}

} // namespace qz4
