// A publisher's directory for patch-maker tests: config.json, input, output and the console.
#pragma once

#include "common/utc_time.hpp"
#include "signatures/signatures.hpp"
#include "tests/support/temp_dir.hpp"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace qz4::test {

class publisher_dir {
public:
    // Writes the configuration template with the given packer settings.
    void configure(std::uint32_t gameupdate = 0, bool optimize = true, std::uint32_t minsize = 16384,
                   int threshold = 85);
    void configure(const nlohmann::json& configuration);

    void add_input(const std::string& relative, const std::string& content);

    struct result {
        bool completed = false;
        std::string console;
    };
    // One run of the patch maker with `workers` packing workers.
    [[nodiscard]] result run(unsigned workers = 1);

    [[nodiscard]] nlohmann::json read_json(const std::string& relative) const;
    [[nodiscard]] std::vector<std::string> console_lines(const std::string& console) const;
    [[nodiscard]] const temp_dir& dir() const { return dir_; }

    std::vector<public_key> launcher_keys; // as the running program's built-in keys
    wall_clock clock;                      // the runs' clock; empty: the system's

private:
    temp_dir dir_;
};

// The two lines a run prints when it creates the directory's signing key, with the public
// key read back from the key file.
[[nodiscard]] std::string key_created_lines(const publisher_dir& publisher);

// A clock that stands at `seconds` since 1970 (UTC).
[[nodiscard]] wall_clock clock_at(std::uint64_t seconds);

// Text that packs well, as configuration and tables do.
[[nodiscard]] std::string text_of(std::size_t size);

// A path as the console shows it: backslashes on Windows, slashes elsewhere.
[[nodiscard]] std::string shown(std::string path);

// Unpacks a packed file with our codec and returns its content.
[[nodiscard]] std::string unpack_to_string(const temp_dir& dir, const std::string& relative);

} // namespace qz4::test
