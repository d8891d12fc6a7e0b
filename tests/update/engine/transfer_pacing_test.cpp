// The pass-wide transfer meter and the bandwidth cap, fed made-up clock readings; how a cap
// is shared among the transfers and how long a document may take; how many unpack workers
// run and how much decoder memory they hold together; a large file hashed beside its transfer.
#include "tests/support/memory_sink.hpp"
#include "update/engine/bandwidth_limit.hpp"
#include "update/engine/beside_hashing_sink.hpp"
#include "update/engine/decoder_budget.hpp"
#include "update/engine/transfer_limits.hpp"
#include "update/engine/transfer_meter.hpp"
#include "update/engine/unpack_stage.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

namespace qz4 {
namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

const clock_type::time_point start = clock_type::time_point{} + 1000h;

TEST(TransferMeter, SmoothedRateAndTimeLeftAtMostFourTimesASecond) {
    struct row {
        int ms;
        std::uint64_t bytes;
        double rate; // expected figures; a negative rate: none expected
        double left;
    };
    constexpr std::uint64_t total = 10'000'000;
    const row rows[] = {
        {0, 0, -1, 0},                   // the first call only starts the clock
        {100, 100'000, -1, 0},           // too soon
        {250, 250'000, 1e6, 9.75},       // the first rate is taken as it is
        {300, 300'000, -1, 0},           // too soon again
        {500, 500'000, 1e6, 9.5},        // a steady pace stays put
        {1500, 500'000, 513'417, 18.50}, // a second without bytes: about half the rate is left
        {1750, 400'000, 434'598, 22.09}, // a transfer started over: the base moves, no bytes count
        {2000, 650'000, 521'398, 17.93}, // the pace back: the rate climbs toward it
        {2100, 20'000'000, -1, 0},       // too soon, whatever the count
        {2350, 20'000'000, 0, 0},        // more than announced: nothing is left, and the burst is a rate
    };
    transfer_meter meter;
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "at " << r.ms << " ms");
        const auto figures = meter.record(start + std::chrono::milliseconds(r.ms), r.bytes, total);
        if (r.rate < 0) {
            EXPECT_FALSE(figures.has_value());
            continue;
        }
        ASSERT_TRUE(figures.has_value());
        if (r.rate > 0) {
            EXPECT_NEAR(figures->bytes_per_second, r.rate, r.rate * 0.001);
            EXPECT_NEAR(figures->seconds_left, r.left, 0.01);
        } else {
            EXPECT_GT(figures->bytes_per_second, 1e6);
            EXPECT_EQ(figures->seconds_left, 0);
        }
    }
}

TEST(TransferMeter, NeverANumberThatIsNotFinite) {
    transfer_meter meter;
    const std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    (void)meter.record(start, 0, most);
    // A whole count in a quarter second, then a long stall until the rate is next to nothing,
    // then a clock reading from the past.
    auto figures = meter.record(start + 250ms, most, most);
    ASSERT_TRUE(figures.has_value());
    EXPECT_TRUE(std::isfinite(figures->bytes_per_second));
    EXPECT_EQ(figures->seconds_left, 0);
    for (int second = 1; second < 2000; ++second) {
        figures = meter.record(start + 250ms + std::chrono::seconds(second), most - 1, most);
        ASSERT_TRUE(figures.has_value());
        EXPECT_TRUE(std::isfinite(figures->bytes_per_second) && std::isfinite(figures->seconds_left));
    }
    EXPECT_EQ(figures->bytes_per_second, 0) << "a stalled pass shows no rate";
    EXPECT_EQ(figures->seconds_left, 0);
    EXPECT_FALSE(meter.record(start, 0, most).has_value());
}

// Transfers report from their own threads; one of them gets the figures of each interval.
TEST(TransferMeter, ManyThreadsGetOneReportPerInterval) {
    transfer_meter meter;
    std::atomic<int> reports{0};
    std::vector<std::thread> transfers;
    for (int t = 0; t < 4; ++t) {
        transfers.emplace_back([&] {
            for (int ms = 0; ms <= 10'000; ++ms)
                if (meter.record(start + std::chrono::milliseconds(ms), static_cast<std::uint64_t>(ms) * 1000,
                                 100'000'000))
                    ++reports;
        });
    }
    for (auto& transfer : transfers)
        transfer.join();
    // The threads' clocks are not in step, so an interval can start late, never twice.
    EXPECT_LE(reports.load(), 40);
    EXPECT_GE(reports.load(), 10);
}

// Callers that wait what the limit tells them, each taking `chunk` bytes at a time: the time
// the last of them is free again, and the bytes all took.
struct paced_run {
    std::chrono::nanoseconds elapsed{};
    std::uint64_t bytes = 0;
};

paced_run run_callers(bandwidth_limit& limit, clock_type::time_point from, int callers, std::size_t chunk,
                      std::chrono::nanoseconds duration) {
    std::vector<clock_type::time_point> ready(static_cast<std::size_t>(callers), from);
    paced_run run;
    while (true) {
        // The caller that is free first takes next, as threads would.
        auto next = std::min_element(ready.begin(), ready.end());
        if (*next - from >= duration)
            break;
        *next += limit.take(chunk, *next);
        run.bytes += chunk;
    }
    run.elapsed = *std::max_element(ready.begin(), ready.end()) - from;
    return run;
}

TEST(BandwidthLimit, CallersTogetherStayAtTheRate) {
    struct row {
        std::uint64_t rate;
        int callers;
        std::size_t chunk;
    };
    const row rows[] = {
        {1 << 20, 1, 16 * 1024},    // one transfer, the library's usual writes
        {1 << 20, 2, 16 * 1024},    // two share the rate
        {8 << 20, 8, 100 * 1024},   // many, with whole receive buffers
        {50 * 1024, 4, 100 * 1024}, // a cap below one buffer a second
        {100 << 20, 4, 1500},       // a fast cap and small packets
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.rate << " B/s, " << r.callers << " callers of " << r.chunk);
        bandwidth_limit limit(r.rate);
        const paced_run run = run_callers(limit, start, r.callers, r.chunk, 60s);
        const double seconds = std::chrono::duration<double>(run.elapsed).count();
        // What a full bucket let through at the start is spread over the minute.
        const double average =
            (static_cast<double>(run.bytes) - static_cast<double>(limit.burst())) / seconds;
        EXPECT_NEAR(average, static_cast<double>(r.rate), static_cast<double>(r.rate) * 0.01);
    }
}

TEST(BandwidthLimit, BurstAfterIdlingIsCapped) {
    struct row {
        std::uint64_t rate;
        std::uint64_t burst;
    };
    const row rows[] = {
        {1 << 20, 256 * 1024},   // a quarter second at the rate
        {64 * 1024, 100 * 1024}, // but never less than one receive buffer
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.rate << " B/s");
        bandwidth_limit limit(r.rate);
        EXPECT_EQ(limit.burst(), r.burst);
        (void)run_callers(limit, start, 2, 4096, 10s);
        // Idle for a minute: the bucket refills to its burst, not to a minute's worth.
        const auto later = start + 70s;
        std::uint64_t free_bytes = 0;
        while (limit.take(4096, later) == std::chrono::nanoseconds::zero())
            free_bytes += 4096;
        EXPECT_LE(free_bytes, r.burst);
        EXPECT_GE(free_bytes + 4096, r.burst);
        // The debt of the one that overdrew is worked off at the rate.
        EXPECT_NEAR(std::chrono::duration<double>(limit.take(0, later)).count(), 4096.0 / r.rate, 0.01);
    }
}

TEST(BandwidthLimit, NoCapAndOneHugeWrite) {
    bandwidth_limit unlimited(0);
    EXPECT_EQ(unlimited.take(1 << 30, start), std::chrono::nanoseconds::zero());
    bandwidth_limit limit(1 << 20);
    EXPECT_EQ(limit.take(100 * 1024, start), std::chrono::nanoseconds::zero()) << "one buffer always fits";
    EXPECT_NEAR(std::chrono::duration<double>(limit.take(1 << 20, start)).count(), 1.0 - 156.0 / 1024, 1e-6);
    // A caller whose clock reading is older than the last one waits from the later reading.
    const auto later = limit.take(1024, start + 10ms);
    EXPECT_NEAR(std::chrono::duration<double>(limit.take(1024, start) - later).count(),
                0.010 + 1024.0 / (1 << 20), 1e-8);
}

// A cap too low to keep every transfer above the lowest stall floor runs fewer of them; no
// transfer's floor ever drops below it, nor rises above the open link's.
TEST(TransferPlan, FewerTransfersRatherThanALowerFloor) {
    constexpr std::uint64_t kib = 1024;
    struct row {
        std::uint32_t connections;
        std::uint64_t max_rate;
        file_transfer_plan plan;
    };
    const row rows[] = {
        {4, 0, {4, 0, 64 * kib}},                     // no cap: the open link's floor
        {0, 0, {1, 0, 64 * kib}},                     // at least one transfer
        {99, 0, {max_connections, 0, 64 * kib}},      // at most the most
        {4, 512 * kib, {4, 512 * kib, 64 * kib}},     // shares of 128 KiB/s: the open link's floor
        {4, 256 * kib, {4, 256 * kib, 32 * kib}},     // shares of 64 KiB/s: half of that
        {4, 128 * kib, {4, 128 * kib, 16 * kib}},     // shares of 32 KiB/s: the lowest floor
        {4, 127 * kib, {3, 127 * kib, 21674}},        // a little less: one transfer fewer
        {4, 64 * kib, {2, 64 * kib, 16 * kib}},       //
        {16, 40 * kib, {1, 40 * kib, 20 * kib}},      // one transfer with the whole cap
        {4, 32 * kib, {1, 32 * kib, 16 * kib}},       // the smallest cap a transfer can live on
        {4, 1 * kib, {1, lowest_rate_cap, 16 * kib}}, // below it: raised to it
        {4, 4 * kib * kib * kib, {4, 4 * kib * kib * kib, 64 * kib}}, // the largest cap
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.connections << " connections, cap " << r.max_rate);
        const file_transfer_plan plan = plan_file_transfers(r.connections, r.max_rate);
        EXPECT_EQ(plan.transfers, r.plan.transfers);
        EXPECT_EQ(plan.rate_cap, r.plan.rate_cap);
        EXPECT_EQ(plan.stall_rate, r.plan.stall_rate);
        if (plan.rate_cap > 0) {
            EXPECT_GE(plan.rate_cap / plan.transfers, 2 * plan.stall_rate)
                << "each share keeps above its floor";
        }
    }
}

TEST(TransferPlan, DocumentDeadlinesFromTheCapAndTheFloorRate) {
    using std::chrono::milliseconds;
    using std::chrono::seconds;
    const document_limits defaults;
    struct row {
        const char* what;
        std::uint64_t cap;
        std::uint64_t floor_rate;
        seconds connect;
        milliseconds deadline;
    };
    const row rows[] = {
        {"version.json", defaults.version_cap, defaults.floor_rate, seconds(10), milliseconds(10'063)},
        {"a signature", defaults.signature_cap, defaults.floor_rate, seconds(10), milliseconds(10'001)},
        {"an index", defaults.index_cap, defaults.floor_rate, seconds(10), milliseconds(74'000)},
        {"nothing at all", 0, defaults.floor_rate, seconds(10), milliseconds(10'000)},
        {"a rate of 0 counts as 1", 3, 0, seconds(1), milliseconds(4'000)},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(document_deadline(r.cap, r.floor_rate, r.connect), r.deadline);
    }
    // Beyond any clock, but never wrapped round to a short time.
    for (const std::uint64_t rate : {std::uint64_t{1}, UINT64_MAX})
        EXPECT_GE(document_deadline(UINT64_MAX, rate, seconds(10)), seconds(10));
    EXPECT_GT(document_deadline(UINT64_MAX, 1, seconds(0)), std::chrono::hours(24 * 365 * 1000));
}

TEST(UnpackWorkers, OnePerCoreUnlessOneConnectionIsAsked) {
    struct row {
        std::uint32_t connections;
        std::uint32_t cores;
        std::uint32_t workers;
    };
    const row rows[] = {
        {4, 2, 2}, {4, 0, 1}, {16, 64, max_unpack_workers}, {1, 8, 1}, {0, 8, 1}, {2, 1, 1},
    };
    for (const row& r : rows)
        EXPECT_EQ(plan_unpack_workers(r.connections, r.cores), r.workers) << r.connections << " " << r.cores;
}

// A decoder whose memory does not fit beside the others' waits for them; one that needs more
// than the whole budget still runs, alone.
TEST(DecoderBudget, ADecoderWaitsUntilItsMemoryIsFree) {
    constexpr std::uint64_t mib = 1024 * 1024;
    decoder_budget budget(256 * mib);
    std::atomic<bool> second_holds{false};
    std::thread second;
    {
        const auto first = budget.reserve(200 * mib);
        const auto small = budget.reserve(50 * mib);
        EXPECT_EQ(budget.held(), 250 * mib);
        second = std::thread([&] {
            const auto held = budget.reserve(100 * mib);
            second_holds = true;
            EXPECT_LE(budget.held(), 150 * mib);
        });
        EXPECT_FALSE(second_holds);
    }
    second.join();
    EXPECT_TRUE(second_holds);
    EXPECT_EQ(budget.held(), 0u);
    {
        const auto alone = budget.reserve(1024 * mib);
        EXPECT_EQ(budget.held(), 1024 * mib);
    }
    EXPECT_EQ(budget.held(), 0u);
}

// What the target took, in order, after what the digests held before; through block edges,
// and when the target refuses a write.
TEST(BesideHashing, TheDigestsAreThoseOfWhatTheTargetTook) {
    constexpr std::size_t block = 256 * 1024;
    struct row {
        std::size_t size;
        std::size_t refused_after; // the target takes no write that would pass this
    };
    const row rows[] = {{0, SIZE_MAX},
                        {1, SIZE_MAX},
                        {block - 1, SIZE_MAX},
                        {block, SIZE_MAX},
                        {block + 1, SIZE_MAX},
                        {5 * block + 3, SIZE_MAX},
                        {6 * block, 3 * block + 5}};
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.size << " bytes");
        std::string bytes(r.size, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(i * 131 + i / 7);
        struct refusing_sink final : byte_sink {
            test::memory_sink taken;
            std::size_t limit = 0;
            bool write(const void* data, std::size_t size) override {
                return taken.text.size() + size <= limit && taken.write(data, size);
            }
        } target;
        target.limit = r.refused_after;
        digest_context digests(digest_kinds::sha1_and_sha256);
        digests.update("start", 5);
        {
            beside_hashing_sink sink(target, digests);
            // Writes of uneven sizes, as a transfer hands them over.
            for (std::size_t at = 0, step = 1000; at < bytes.size();
                 at += step, step = step == 1000 ? 17000 : 1000) {
                if (!sink.write(bytes.data() + at, std::min(step, bytes.size() - at)))
                    break;
            }
            sink.finish();
        }
        digest_context expected(digest_kinds::sha1_and_sha256);
        expected.update("start", 5);
        expected.update(target.taken.text.data(), target.taken.text.size());
        EXPECT_EQ(digests.finish(), expected.finish());
        EXPECT_EQ(target.taken.text, bytes.substr(0, target.taken.text.size()));
    }
}

} // namespace
} // namespace qz4
