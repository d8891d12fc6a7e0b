// The update hosts: which one an attempt or a download uses, and how a remote configuration
// replaces the list. Pure functions over the list; no network.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qz4 {

// Whether a base URL names a scheme the transfers speak: http or https, in any letter case.
// Any other (ftp, file, ...) is refused before it is asked for anything.
[[nodiscard]] bool is_web_url(std::string_view url);

// Base URLs end with a slash, so that paths can be appended as they are.
[[nodiscard]] std::string with_final_slash(std::string_view host);

// The host of retrieval attempt `attempt` (0 first): the first attempt keeps the host in
// use, attempt k takes entry k modulo the list length. `count` must not be 0.
[[nodiscard]] std::uint32_t attempt_host_index(std::uint32_t attempt, std::uint32_t host_in_use,
                                               std::size_t count);

// The entry a download takes: the host in use, modulo the list length (a list replaced by
// a shorter one still selects an entry). `count` must not be 0.
[[nodiscard]] std::uint32_t download_host_index(std::uint32_t host_in_use, std::size_t count);

// Whether another host is left for a further pass.
[[nodiscard]] bool another_host_left(std::uint32_t host_in_use, std::size_t count);

// Same length and equal after ASCII folding, as the GUID is compared.
[[nodiscard]] bool contains_host(const std::vector<std::string>& hosts, std::string_view host);

} // namespace qz4
