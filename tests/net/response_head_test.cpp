#include "net/response_head.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace qz4 {
namespace {

// The header lines of one transfer, in order, and what the final answer is taken to say.
TEST(ResponseHead, TheFinalAnswersStatusAndRangeStart) {
    struct head_case {
        const char* name;
        std::vector<std::string> lines;
        int status;
        std::optional<std::uint64_t> range_start;
    };
    const head_case cases[] = {
        {"plain", {"HTTP/1.1 200 OK\r\n", "Content-Length: 5\r\n", "\r\n"}, 200, std::nullopt},
        {"a range", {"HTTP/1.1 206 Partial Content\r\n", "Content-Range: bytes 100-199/1000\r\n"}, 206, 100},
        {"letter case and blanks", {"http/1.0 206 x\r\n", "CONTENT-RANGE:   bytes  7-9/10\r\n"}, 206, 7},
        {"HTTP/2 without a reason", {"HTTP/2 206\r\n", "content-range: bytes 0-0/1\r\n"}, 206, 0},
        {"a refused range",
         {"HTTP/1.1 416 Range Not Satisfiable\r\n", "Content-Range: bytes */1000\r\n"},
         416,
         std::nullopt},
        {"another unit", {"HTTP/1.1 206 x\r\n", "Content-Range: items 1-2/3\r\n"}, 206, std::nullopt},
        {"a redirect's range is not the final one's",
         {"HTTP/1.1 302 Found\r\n", "Content-Range: bytes 5-9/10\r\n", "\r\n", "HTTP/1.1 200 OK\r\n"},
         200,
         std::nullopt},
        {"an interim answer first",
         {"HTTP/1.1 100 Continue\r\n", "\r\n", "HTTP/1.1 206 x\r\n", "Content-Range: bytes 3-4/5\r\n"},
         206,
         3},
        {"a start beyond 64 bits",
         {"HTTP/1.1 206 x\r\n", "Content-Range: bytes 18446744073709551616-1/2\r\n"},
         206,
         std::nullopt},
        {"a signed start", {"HTTP/1.1 206 x\r\n", "Content-Range: bytes -5-9/10\r\n"}, 206, std::nullopt},
        {"a status that is not three digits", {"HTTP/1.1 2000 x\r\n"}, 0, std::nullopt},
        {"no status", {"HTTP/1.1\r\n"}, 0, std::nullopt},
        {"a cut line", {"HTTP/1.1 206 x\r\n", "Content-Ra"}, 206, std::nullopt},
        {"no lines", {}, 0, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        response_head head;
        for (const std::string& line : c.lines)
            read_header_line(line, head);
        EXPECT_EQ(head.status, c.status);
        EXPECT_EQ(head.range_start, c.range_start);
    }
}

} // namespace
} // namespace qz4
