#include "splash/progress_bar.hpp"

#include <gtest/gtest.h>

namespace qz4 {
namespace {

TEST(ProgressBar, WidthFollowsTheWindowRule) {
    struct row {
        std::uint32_t value, total, expected;
    };
    const row rows[] = {
        {0, 0, 0},                                // no total: no bar
        {5, 0, 0},    {1, 3, 183},                // single-precision fraction, truncated
        {1, 2, 275},  {3, 3, 550},   {4, 3, 550}, // beyond the total: full width
        {0, 3, 5},                                // nothing done yet still shows the minimum
        {1, 1000, 5}, {10, 1000, 5}, {11, 1000, 6}, {0xFFFFFFFF, 0xFFFFFFFF, 550},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.value << "/" << r.total);
        EXPECT_EQ(progress_bar_width(r.value, r.total, 550, 5), r.expected);
    }
}

} // namespace
} // namespace qz4
