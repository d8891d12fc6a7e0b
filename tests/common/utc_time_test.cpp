#include "common/utc_time.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace qz4 {
namespace {

TEST(UtcTime, TextOfSecondsSince1970) {
    struct row {
        std::uint64_t seconds;
        const char* text;
    };
    const row rows[] = {
        {0, "1970-01-01 00:00:00 UTC"},
        {951786061, "2000-02-29 01:01:01 UTC"}, // a leap day of a century year
        {951868799, "2000-02-29 23:59:59 UTC"},
        {2147483648, "2038-01-19 03:14:08 UTC"}, // past signed 32 bits
        {4102444799, "2099-12-31 23:59:59 UTC"},
        {253402300799, "9999-12-31 23:59:59 UTC"},
        {253402300800, "10000-01-01 00:00:00 UTC"},
        {18446744073709551615ULL, "584554051223-11-09 07:00:15 UTC"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.seconds);
        EXPECT_EQ(utc_time_text(r.seconds), r.text);
    }
}

TEST(UtcTime, TheClockGivenOrTheSystemsInWholeSecondsNeverBefore1970) {
    using std::chrono::system_clock;
    const auto at = [](std::int64_t milliseconds) -> wall_clock {
        return [milliseconds] { return system_clock::time_point(std::chrono::milliseconds(milliseconds)); };
    };
    EXPECT_EQ(unix_time_now(at(1'700'000'000'999)), 1'700'000'000u);
    EXPECT_EQ(unix_time_now(at(-5000)), 0u);
    EXPECT_GT(unix_time_now(wall_clock{}), 1'700'000'000u) << "the system's clock when none is given";
}

} // namespace
} // namespace qz4
