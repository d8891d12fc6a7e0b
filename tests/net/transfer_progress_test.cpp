#include "net/transfer_progress.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

namespace qz4 {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

TEST(TransferProgress, FiguresThatMakeNoReport) {
    struct silent_case {
        const char* name;
        double total;
        double received;
        double last_reported;
    };
    const silent_case cases[] = {
        {"unknown length", 0, 50000, 0},
        {"nothing received", 50000, 0, 0},
        {"less than a step since the last report", 50000, 11023, 10000},
        {"negative total", -1, 5000, 0},
        {"not a number", nan, 5000, 0},
        {"received not a number", 50000, nan, 0},
        {"infinite", infinity, 5000, 0},
        {"beyond any 64-bit count", 1e30, 5000, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        double average = 123;
        double last = c.last_reported;
        EXPECT_FALSE(next_progress_report(c.total, c.received, 500, average, last).has_value());
        EXPECT_EQ(average, 123);
        EXPECT_EQ(last, c.last_reported);
    }
}

TEST(TransferProgress, ReportsPercentRateAndSmoothedTimeLeft) {
    double average = 0;
    double last = 0;
    // Exactly one step after the start; half a second in.
    auto report = next_progress_report(10240, 1024, 500, average, last);
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->percent, 10);
    EXPECT_DOUBLE_EQ(report->rate, 2048);
    EXPECT_DOUBLE_EQ(average, 2048);
    EXPECT_DOUBLE_EQ(report->remaining_seconds, 9216.0 / 2048);
    EXPECT_EQ(last, 1024);

    report = next_progress_report(10240, 9216, 1000, average, last);
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->percent, 90);
    EXPECT_DOUBLE_EQ(report->rate, 9216);
    EXPECT_DOUBLE_EQ(average, 2048 * 0.75 + 9216 * 0.25);
    EXPECT_DOUBLE_EQ(report->remaining_seconds, 1024 / average);
    EXPECT_DOUBLE_EQ(report->total, 10240);
    EXPECT_DOUBLE_EQ(report->received, 9216);
}

TEST(TransferProgress, EdgesStayFiniteAndInRange) {
    {
        SCOPED_TRACE("no whole millisecond yet: counted as one");
        double average = 0;
        double last = 0;
        const auto report = next_progress_report(1e6, 4096, 0, average, last);
        ASSERT_TRUE(report.has_value());
        EXPECT_NEAR(report->rate, 4096 * 1000.0, 1.0); // the seconds pass through single precision
        EXPECT_TRUE(std::isfinite(report->remaining_seconds));
    }
    {
        SCOPED_TRACE("more received than announced");
        double average = 0;
        double last = 0;
        const auto report = next_progress_report(2000, 5000, 10, average, last);
        ASSERT_TRUE(report.has_value());
        EXPECT_EQ(report->percent, 100);
        EXPECT_EQ(report->remaining_seconds, 0);
    }
    {
        SCOPED_TRACE("random figures");
        std::mt19937_64 random(42);
        std::uniform_real_distribution<double> exponent(0, 63);
        double average = 0;
        double last = 0;
        for (int i = 0; i < 20000; ++i) {
            const double total = std::floor(std::exp2(exponent(random)));
            const double received = std::floor(std::exp2(exponent(random)));
            const auto elapsed = static_cast<std::int64_t>(random() >> (random() % 64));
            if (i % 3 == 0)
                last = 0; // a new transfer
            const auto report = next_progress_report(total, received, elapsed, average, last);
            if (!report)
                continue;
            ASSERT_GE(report->percent, 0);
            ASSERT_LE(report->percent, 100);
            ASSERT_TRUE(std::isfinite(report->rate) && report->rate > 0) << report->rate;
            ASSERT_TRUE(std::isfinite(report->remaining_seconds) && report->remaining_seconds >= 0);
            ASSERT_TRUE(std::isfinite(average) && average > 0);
        }
    }
}

} // namespace
} // namespace qz4
