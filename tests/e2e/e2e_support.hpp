// The end-to-end tests' view of the fixture's nginx: the tree it serves and the requests
// its access log records.
#pragma once

#include "tests/patchmaker/patch_maker_support.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace qz4::test {

struct logged_request {
    std::string path; // as requested, below the server's root ("/qz4/version.json")
    int status = 0;
    std::string scheme; // "http" or "https"
    int port = 0;       // the port it came in on
};

class nginx_site {
public:
    // Requests logged before this point are not this site's.
    nginx_site();

    [[nodiscard]] std::string base_url() const;
    // The same files over https, with a certificate for 127.0.0.1 from the tests' authority.
    [[nodiscard]] std::string tls_base_url() const;
    [[nodiscard]] std::filesystem::path www() const;
    // What the https host with a certificate for another name serves: a tree of its own.
    [[nodiscard]] std::filesystem::path www_other_name() const;

    // Makes www/<folder> hold exactly the files of `tree` (nothing is left from before).
    void serve(const std::string& folder, const std::filesystem::path& tree) const;
    void remove(const std::string& folder) const;

    // The requests since construction or the last call. nginx logs a request when it has
    // finished it, so a request of its own is sent first and waited for: every request
    // made before it is then in the log.
    [[nodiscard]] std::vector<logged_request> new_requests();

private:
    std::filesystem::path state_;
    std::string base_url_;
    std::string tls_base_url_;
    std::streamoff read_up_to_ = 0;
    unsigned markers_ = 0;
};

// The patch maker publishes the publisher's input/ with `config` (read back afterwards: the
// run raises its update number) and the site serves the output under /qz4/.
[[nodiscard]] testing::AssertionResult publish_and_serve(publisher_dir& publisher, nlohmann::json& config,
                                                         const nginx_site& site);

// The paths requested, in order.
[[nodiscard]] std::vector<std::string> paths_of(const std::vector<logged_request>& requests);

} // namespace qz4::test
