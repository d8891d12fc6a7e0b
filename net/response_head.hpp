// What the final answer of a transfer says about itself, read from its header lines as they
// arrive: the status, the start of the range it carries and its validators. Redirect hops and interim answers
// come first, each starting afresh with its status line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qz4 {

struct response_head {
    int status = 0; // 0 until a status line came
    // The start of "Content-Range: bytes <start>-<end>/<size>"; empty without one, or for
    // another unit or the "bytes */<size>" of a refused range.
    std::optional<std::uint64_t> range_start;
    // What a later request may send to be told "not modified" (304): the answer's ETag and
    // Last-Modified values as they came, or empty when absent or not safe to send back (a
    // control character, or longer than validator_length_cap).
    std::string etag;
    std::string last_modified;
};

inline constexpr std::size_t validator_length_cap = 256;

// A header value without the blanks around it and its line end, when it can be sent back in
// a request header as it is: printable, no line break that would start a header of its own,
// at most validator_length_cap bytes. Empty otherwise.
[[nodiscard]] std::string validator_value(std::string_view value);

// Takes one header line (with or without its line end) into `head`. Any bytes are safe.
void read_header_line(std::string_view line, response_head& head);

} // namespace qz4
