// The Internet settings' connection record, as WinHTTP reads it: a header (version, a change
// counter, flags), then the proxy list, the bypass list and the configuration script's URL,
// each as a 32-bit length and its bytes.
#include "tests/e2e/system_proxy_setting.hpp"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace qz4::test {

namespace {

constexpr wchar_t connections_key[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
constexpr wchar_t settings_value[] = L"DefaultConnectionSettings";
constexpr std::uint32_t settings_version = 0x46;
constexpr std::uint32_t direct_flag = 1;
constexpr std::uint32_t proxy_flag = 2;
constexpr std::uint32_t script_flag = 4;

void append_number(std::vector<BYTE>& record, std::uint32_t number) {
    for (int shift = 0; shift < 32; shift += 8)
        record.push_back(static_cast<BYTE>(number >> shift));
}

void append_text(std::vector<BYTE>& record, const std::string& text) {
    append_number(record, static_cast<std::uint32_t>(text.size()));
    record.insert(record.end(), text.begin(), text.end());
}

// Never automatic detection: a test prefix has nothing to find.
std::vector<BYTE> connection_record(const proxy_configuration& configuration) {
    std::vector<BYTE> record;
    append_number(record, settings_version);
    append_number(record, 1);
    append_number(record, direct_flag | (configuration.proxy.empty() ? 0 : proxy_flag) |
                              (configuration.script_url.empty() ? 0 : script_flag));
    append_text(record, configuration.proxy);
    append_text(record, configuration.bypassed);
    append_text(record, configuration.script_url);
    record.resize(record.size() + 32); // what Windows keeps after the script's URL
    return record;
}

struct key_close {
    void operator()(HKEY key) const noexcept { ::RegCloseKey(key); }
};

std::unique_ptr<std::remove_pointer_t<HKEY>, key_close> open_connections() {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, connections_key, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                          &key, nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("the Internet settings cannot be opened");
    return std::unique_ptr<std::remove_pointer_t<HKEY>, key_close>(key);
}

void write_record(HKEY key, const std::vector<BYTE>& record) {
    if (::RegSetValueExW(key, settings_value, 0, REG_BINARY, record.data(),
                         static_cast<DWORD>(record.size())) != ERROR_SUCCESS)
        throw std::runtime_error("the Internet settings cannot be written");
}

} // namespace

struct system_proxy_setting::earlier {
    std::optional<std::vector<BYTE>> record;
};

system_proxy_setting::system_proxy_setting(const proxy_configuration& configuration)
    : earlier_(std::make_unique<earlier>()) {
    const auto key = open_connections();
    DWORD size = 0;
    DWORD type = 0;
    if (::RegQueryValueExW(key.get(), settings_value, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_BINARY) {
        std::vector<BYTE> record(size);
        if (::RegQueryValueExW(key.get(), settings_value, nullptr, nullptr, record.data(), &size) ==
            ERROR_SUCCESS)
            earlier_->record = std::move(record);
    }
    write_record(key.get(), connection_record(configuration));
}

system_proxy_setting::~system_proxy_setting() {
    try {
        const auto key = open_connections();
        if (earlier_->record)
            write_record(key.get(), *earlier_->record);
        else
            ::RegDeleteValueW(key.get(), settings_value);
    } catch (const std::exception&) {
        // The prefix is the test run's own; a setting left behind ends with it.
    }
}

} // namespace qz4::test
