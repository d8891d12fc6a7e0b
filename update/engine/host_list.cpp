#include "update/engine/host_list.hpp"

#include "common/ascii_text.hpp"

namespace qz4 {

bool is_web_url(std::string_view url) {
    for (const std::string_view scheme : {"http://", "https://"})
        if (url.size() > scheme.size() && equals_ci(url.substr(0, scheme.size()), scheme))
            return true;
    return false;
}

std::string with_final_slash(std::string_view host) {
    std::string result(host);
    if (result.empty() || result.back() != '/')
        result.push_back('/');
    return result;
}

std::uint32_t attempt_host_index(std::uint32_t attempt, std::uint32_t host_in_use, std::size_t count) {
    if (attempt == 0)
        return download_host_index(host_in_use, count);
    return static_cast<std::uint32_t>(attempt % count);
}

std::uint32_t download_host_index(std::uint32_t host_in_use, std::size_t count) {
    return static_cast<std::uint32_t>(host_in_use % count);
}

bool contains_host(const std::vector<std::string>& hosts, std::string_view host) {
    for (const auto& entry : hosts)
        if (equals_ci(entry, host))
            return true;
    return false;
}

void pass_hosts::note_served(std::string_view host) {
    if (!contains_host(served_, host))
        served_.emplace_back(host);
}

std::optional<std::uint32_t> pass_hosts::host_for_pass(const std::vector<std::string>& hosts,
                                                       std::uint32_t candidate) const {
    if (hosts.empty() || served_.size() >= pass_limit)
        return std::nullopt;
    for (std::size_t index = download_host_index(candidate, hosts.size()); index < hosts.size(); ++index) {
        if (!contains_host(served_, hosts[index]))
            return static_cast<std::uint32_t>(index);
    }
    return std::nullopt;
}

} // namespace qz4
