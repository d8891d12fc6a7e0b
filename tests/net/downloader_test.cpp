#include "net/downloader.hpp"

#include "tests/support/http_test_server.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace qz4 {
namespace {

namespace fs = std::filesystem;

struct progress_call {
    int percent;
    double remaining;
    double rate;
    double total;
    double received;
};

// Records every progress report of a downloader.
class recorder {
public:
    explicit recorder(downloader& loader) {
        loader.on_progress = [this](int percent, double remaining, double rate, double total,
                                    double received) {
            calls.push_back({percent, remaining, rate, total, received});
            return 0;
        };
    }
    std::vector<progress_call> calls;
};

// A directory below the served root that no other test uses.
fs::path served_directory(const char* name) {
    std::random_device random;
    const fs::path directory =
        test::http_server().root / (std::string(name) + "-" + std::to_string(random()));
    fs::create_directories(directory);
    return directory;
}

TEST(Downloader, StoresTheWholeBody) {
    const auto& server = test::http_server();
    const fs::path served = served_directory("stores");
    const std::string file_content = test::random_bytes(150000, 7);
    test::write_file(served / "file.bin", file_content);
    const std::string served_url = server.url(served.filename().string() + "/file.bin");

    struct body_case {
        const char* name;
        std::string url;
        std::string expected;
    };
    const body_case cases[] = {
        {"file from the served directory", served_url, file_content},
        {"with Content-Length", server.url("_/bytes/100000"), test::generated_bytes(0, 100000)},
        {"ended by closing", server.url("_/bytes/100000?framing=close"), test::generated_bytes(0, 100000)},
        {"chunked", server.url("_/bytes/100000?framing=chunked"), test::generated_bytes(0, 100000)},
        {"empty", server.url("_/bytes/0"), ""},
        {"after 5 redirects", server.url("_/redirect/5/_/bytes/5000"), test::generated_bytes(0, 5000)},
        {"dripped in small pieces", server.url("_/bytes/20000?rate=400000&chunk=500"),
         test::generated_bytes(0, 20000)},
    };
    test::temp_dir dir;
    downloader loader; // one object for all: every transfer replaces the previous target
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // An older, longer file at the target is replaced, not overwritten in part.
        test::write_file(dir.native("target.bin"), std::string(200000, 'x'));
        ASSERT_TRUE(loader.download(c.url, dir.wide("target.bin"))) << loader.last_error;
        EXPECT_EQ(test::read_file(dir.native("target.bin")), c.expected);
        EXPECT_EQ(loader.last_error, "");
    }
}

TEST(Downloader, SendsItsFixedIdentityAndTheReferrerAfterARedirect) {
    const auto& server = test::http_server();
    test::temp_dir dir;
    downloader loader;
    ASSERT_TRUE(loader.download(server.url("_/headers"), dir.wide("direct.txt"))) << loader.last_error;
    EXPECT_NE(test::read_file(dir.native("direct.txt"))
                  .find("User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:107.0) Gecko/20100101 "
                        "Firefox/107.0\n"),
              std::string::npos);

    const std::string redirecting = server.url("_/redirect/1/_/headers");
    ASSERT_TRUE(loader.download(redirecting, dir.wide("redirected.txt"))) << loader.last_error;
    EXPECT_NE(test::read_file(dir.native("redirected.txt")).find("Referer: " + redirecting + "\n"),
              std::string::npos);
}

TEST(Downloader, FailedTransfersLeaveNoFile) {
    const auto& server = test::http_server();
    struct failure_case {
        std::string url;
        const char* expected_error;
    };
    const failure_case cases[] = {
        {server.url("_/status/404"), "CURL error: 22"},
        {server.url("_/status/500"), "CURL error: 22"},
        {server.url("no/such/file.bin"), "CURL error: 22"},
        {server.url("_/redirect/6/_/bytes/10"), "CURL error: 47"},
        {server.url("_/bytes/100000?cut=50000"), "CURL error: 18"},
        {server.refused_url + "file.bin", "CURL error: 7"},
    };
    test::temp_dir dir;
    downloader loader;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_FALSE(loader.download(c.url, dir.wide("target.bin")));
        EXPECT_EQ(loader.last_error, c.expected_error);
        EXPECT_FALSE(fs::exists(dir.native("target.bin")));
    }
}

// Over https a certificate must hold for the host's name and come from an authority we trust;
// nothing but http and https is spoken, wherever a redirect leads.
TEST(Downloader, OnlyHttpAndCheckedHttps) {
    const auto& server = test::http_server();
    const transfer_trust ours{server.ca_file};
    const std::string http = server.base_url + "_/bytes/5000";
    const std::string https = server.tls_url + "_/bytes/5000";
    const auto redirect = [](const std::string& base, const std::string& target) {
        return base + "_/redirect-to?url=" + target;
    };
    const std::string ftp = "ftp://127.0.0.1/x";
    const std::string file = "file:///etc/hosts";
    using texts = std::vector<std::string>;
    struct row {
        const char* what;
        transfer_trust trust;
        std::string url;
        texts refusals; // the texts the failure may give; none: the body arrives
    };
    const row rows[] = {
        {"https, the tests' authority", ours, https, {}},
        {"http redirected to https", ours, redirect(server.base_url, https), {}},
        {"https redirected to http", ours, redirect(server.tls_url, http), {}},
        {"a certificate for another name", ours, server.other_name_url + "_/bytes/5000", {"CURL error: 60"}},
        {"an authority file that is missing", {server.ca_file + ".missing"}, https, {"CURL error: 77"}},
        // A libcurl built without file support (ours for Windows) cannot even parse the target.
        {"redirected to file://", ours, redirect(server.base_url, file), {"CURL error: 1", "CURL error: 3"}},
        {"redirected to ftp://", ours, redirect(server.base_url, ftp), {"CURL error: 1"}},
        {"https redirected to ftp://", ours, redirect(server.tls_url, ftp), {"CURL error: 1"}},
        {"file:// asked for", ours, file, {"CURL error: 1"}},
        {"ftp:// asked for", ours, ftp, {"CURL error: 1"}},
    };
    test::temp_dir dir;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        downloader loader(r.trust);
        const bool fetched = loader.download(r.url, dir.wide("target.bin"));
        if (r.refusals.empty()) {
            EXPECT_TRUE(fetched) << loader.last_error;
            EXPECT_EQ(test::read_file(dir.native("target.bin")), test::generated_bytes(0, 5000));
        } else {
            EXPECT_FALSE(fetched);
            EXPECT_NE(std::find(r.refusals.begin(), r.refusals.end(), loader.last_error), r.refusals.end())
                << loader.last_error;
            EXPECT_FALSE(fs::exists(dir.native("target.bin")));
        }
    }
}

TEST(Downloader, TargetInAMissingDirectoryCannotBeOpened) {
    test::temp_dir dir;
    downloader loader;
    EXPECT_FALSE(loader.download(test::http_server().url("_/bytes/10"), dir.wide("missing\\target.bin")));
    EXPECT_EQ(loader.last_error, "Open failed: 2");
    EXPECT_FALSE(fs::exists(dir.native("missing")));
}

TEST(Downloader, ProgressOnlyForKnownLengths) {
    const auto& server = test::http_server();
    struct framing_case {
        const char* framing;
        bool reports;
    };
    test::temp_dir dir;
    for (const framing_case& c :
         {framing_case{"length", true}, framing_case{"close", false}, framing_case{"chunked", false}}) {
        SCOPED_TRACE(c.framing);
        downloader loader;
        recorder progress(loader);
        ASSERT_TRUE(loader.download(
            server.url(std::string("_/bytes/100000?rate=2000000&chunk=4000&framing=") + c.framing),
            dir.wide("target.bin")))
            << loader.last_error;
        EXPECT_EQ(!progress.calls.empty(), c.reports);
    }
}

TEST(Downloader, ProgressReportsAreThrottledBoundedAndSmoothed) {
    const auto& server = test::http_server();
    test::temp_dir dir;
    downloader loader;
    recorder progress(loader);
    constexpr double total = 60000;
    // Pieces smaller than the report step: most of libcurl's calls must not reach the callback.
    const std::string url = server.url("_/bytes/60000?rate=200000&chunk=300");
    double average = 0;
    for (int transfer = 0; transfer < 2; ++transfer) {
        SCOPED_TRACE(transfer);
        progress.calls.clear();
        ASSERT_TRUE(loader.download(url, dir.wide("target.bin"))) << loader.last_error;
        ASSERT_GE(progress.calls.size(), 5u);
        double previous = 0;
        for (const auto& call : progress.calls) {
            SCOPED_TRACE(call.received);
            EXPECT_GE(call.received - previous, 1024.0);
            previous = call.received;
            EXPECT_EQ(call.total, total);
            EXPECT_EQ(call.percent, static_cast<int>(call.received / total * 100.0));
            EXPECT_GE(call.percent, 0);
            EXPECT_LE(call.percent, 100);
            ASSERT_TRUE(std::isfinite(call.rate) && call.rate > 0);
            // The time left comes from the smoothed rate, which the second transfer inherits.
            average = average == 0 ? call.rate : average * 0.75 + call.rate * 0.25;
            EXPECT_NEAR(call.remaining, (total - call.received) / average, 1e-9 * (1 + call.remaining));
        }
    }
}

TEST(Downloader, CallbackCanStopTheTransfer) {
    const auto& server = test::http_server();
    const std::string url = server.url("_/bytes/300000?rate=3000000&chunk=3000");
    test::temp_dir dir;
    downloader loader;

    loader.on_progress = [](int percent, double, double, double, double) { return percent >= 10 ? 1 : 0; };
    EXPECT_FALSE(loader.download(url, dir.wide("target.bin")));
    EXPECT_EQ(loader.last_error, "CURL error: 42");
    EXPECT_FALSE(fs::exists(dir.native("target.bin")));

    // An exception of the callback ends the transfer the same way but is not a transfer error.
    loader.last_error = "earlier failure";
    loader.on_progress = [](int, double, double, double, double) -> int { throw std::runtime_error("stop"); };
    EXPECT_FALSE(loader.download(url, dir.wide("target.bin")));
    EXPECT_EQ(loader.last_error, "earlier failure");
    EXPECT_FALSE(fs::exists(dir.native("target.bin")));

    loader.on_progress = [](int, double, double, double, double) -> int { throw 5; };
    EXPECT_THROW((void)loader.download(url, dir.wide("target.bin")), int);
    EXPECT_FALSE(fs::exists(dir.native("target.bin")));

    loader.on_progress = nullptr;
    EXPECT_TRUE(loader.download(url, dir.wide("target.bin"))) << loader.last_error;
    EXPECT_EQ(test::read_file(dir.native("target.bin")), test::generated_bytes(0, 300000));
}

TEST(Downloader, SlowTransferFailsAfterTheLowSpeedTime) {
    test::temp_dir dir;
    downloader loader;
    loader.set_low_speed_time(1);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(loader.download(test::http_server().url("_/endless?rate=16384"), dir.wide("target.bin")));
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(loader.last_error, "CURL error: 28");
    EXPECT_FALSE(fs::exists(dir.native("target.bin")));
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST(Downloader, ConcurrentCallsRunOneAfterTheOther) {
    const std::string url = test::http_server().url("_/bytes/60000?rate=300000&chunk=2000");
    test::temp_dir dir;
    downloader loader;
    std::mutex order_mutex;
    std::vector<std::thread::id> order; // guarded by order_mutex
    loader.on_progress = [&](int, double, double, double, double) {
        const std::lock_guard lock(order_mutex);
        order.push_back(std::this_thread::get_id());
        return 0;
    };
    bool results[2] = {false, false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([&, i] { results[i] = loader.download(url, dir.wide(i == 0 ? "t0" : "t1")); });
    for (auto& thread : threads)
        thread.join();
    EXPECT_TRUE(results[0]);
    EXPECT_TRUE(results[1]);
    for (const char* name : {"t0", "t1"})
        EXPECT_EQ(test::read_file(dir.native(name)), test::generated_bytes(0, 60000));
    // Each transfer's reports come together: the caller changes exactly once.
    ASSERT_FALSE(order.empty());
    int changes = 0;
    for (std::size_t i = 1; i < order.size(); ++i)
        changes += order[i] != order[i - 1] ? 1 : 0;
    EXPECT_EQ(changes, 1);
}

} // namespace
} // namespace qz4
