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

// The validators a later request may send back: as they came, or none when unsafe to send.
TEST(ResponseHead, ValidatorsOfTheFinalAnswerWhenSafeToSendBack) {
    struct validator_case {
        const char* name;
        std::vector<std::string> lines;
        std::string etag;
        std::string last_modified;
    };
    const validator_case cases[] = {
        {"both",
         {"HTTP/1.1 200 OK\r\n", "ETag: \"5f1-62a\"\r\n", "Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT\r\n"},
         "\"5f1-62a\"",
         "Tue, 01 Dec 2026 10:00:00 GMT"},
        {"a weak tag, letter case and blanks", {"HTTP/2 200\r\n", "etag:  W/\"x\"  \r\n"}, "W/\"x\"", ""},
        {"a redirect's are not the final one's",
         {"HTTP/1.1 302 Found\r\n", "ETag: \"hop\"\r\n", "\r\n", "HTTP/1.1 200 OK\r\n"},
         "",
         ""},
        {"a control character", {"HTTP/1.1 200 OK\r\n", std::string("ETag: \"a\x01b\"\r\n")}, "", ""},
        {"longer than the cap",
         {"HTTP/1.1 200 OK\r\n", "ETag: \"" + std::string(validator_length_cap, 'x') + "\"\r\n"},
         "",
         ""},
        {"empty", {"HTTP/1.1 200 OK\r\n", "Last-Modified:\r\n"}, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        response_head head;
        for (const std::string& line : c.lines)
            read_header_line(line, head);
        EXPECT_EQ(head.etag, c.etag);
        EXPECT_EQ(head.last_modified, c.last_modified);
    }
}

} // namespace
} // namespace qz4
