// What the final answer of a transfer says about itself, read from its header lines as they
// arrive: the status and the start of the range it carries. Redirect hops and interim answers
// come first, each starting afresh with its status line.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qz4 {

struct response_head {
    int status = 0; // 0 until a status line came
    // The start of "Content-Range: bytes <start>-<end>/<size>"; empty without one, or for
    // another unit or the "bytes */<size>" of a refused range.
    std::optional<std::uint64_t> range_start;
};

// Takes one header line (with or without its line end) into `head`. Any bytes are safe.
void read_header_line(std::string_view line, response_head& head);

} // namespace qz4
