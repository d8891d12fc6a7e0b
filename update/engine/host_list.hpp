// The update hosts: which one an attempt or a download uses, and how a remote configuration
// replaces the list. Pure functions over the list; no network.
#pragma once

#include <cstdint>
#include <optional>
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

// The hosts that have served a pass of the run. Each serves at most one: the retrieval of a
// later pass may come back to a host that failed already (its attempts rotate over the whole
// list), and mirrors may serve host lists of any length, so only a record of the hosts
// themselves keeps a run from going round for ever.
class pass_hosts {
public:
    // No run takes more passes than this, whatever lists mirrors keep naming.
    static constexpr std::size_t pass_limit = 8;

    void note_served(std::string_view host);
    // The entry of `hosts` for a pass: `candidate` (modulo the list length) when it has not
    // served yet, otherwise the first later entry that has not; nullopt when none is left or
    // the run has had its passes. Earlier entries are not gone back to: a pass moves on down
    // the list, as the first host of a retrieval that had to move on has had its turn.
    [[nodiscard]] std::optional<std::uint32_t> host_for_pass(const std::vector<std::string>& hosts,
                                                             std::uint32_t candidate) const;

private:
    std::vector<std::string> served_; // base URLs, compared without regard to ASCII case
};

// Same length and equal after ASCII folding, as the GUID is compared.
[[nodiscard]] bool contains_host(const std::vector<std::string>& hosts, std::string_view host);

} // namespace qz4
