#include "net/downloader.hpp"

#include "tests/support/http_test_server.hpp"
#include "tests/support/memory_sink.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace qz4 {
namespace {

namespace fs = std::filesystem;

// Every progress call of one transfer.
struct recorder {
    std::vector<transfer_progress> calls;
    // A request whose progress calls are recorded here.
    transfer_request request(const std::string& url) {
        transfer_request result;
        result.url = url;
        result.on_progress = [this](const transfer_progress& progress) {
            calls.push_back(progress);
            return progress_verdict::go_on;
        };
        return result;
    }
    [[nodiscard]] std::vector<progress_report> reports() const {
        std::vector<progress_report> found;
        for (const auto& call : calls)
            if (call.report)
                found.push_back(*call.report);
        return found;
    }
};

using test::memory_sink;

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

// The headers are the downloader's to read: none of them reaches standard output, where on a
// terminal they would run through the status line.
TEST(Downloader, SendsItsFixedIdentityAndTheReferrerAfterARedirectAndPrintsNoHeaders) {
    const auto& server = test::http_server();
    test::temp_dir dir;
    downloader loader;
    std::ostringstream printed;
    std::streambuf* const saved = std::cout.rdbuf(printed.rdbuf());
    const bool direct = loader.download(server.url("_/headers"), dir.wide("direct.txt"));
    const std::string redirecting = server.url("_/redirect/1/_/headers");
    const bool redirected = loader.download(redirecting, dir.wide("redirected.txt"));
    std::cout.rdbuf(saved);
    ASSERT_TRUE(direct && redirected) << loader.last_error;
    EXPECT_EQ(printed.str(), "");
    EXPECT_NE(test::read_file(dir.native("direct.txt"))
                  .find("User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:107.0) Gecko/20100101 "
                        "Firefox/107.0\n"),
              std::string::npos);
    EXPECT_NE(test::read_file(dir.native("redirected.txt")).find("Referer: " + redirecting + "\n"),
              std::string::npos);
}

// Validators go out as the caller gave them, only on the request that carries them, and
// never when they could end their header line early.
TEST(Downloader, SendsValidatorsOnlyWhenAskedAndOnlySafeOnes) {
    const auto& server = test::http_server();
    struct validator_case {
        const char* name;
        std::string etag;
        std::string modified;
        std::vector<std::string> sent;
        std::vector<std::string> not_sent;
    };
    const validator_case cases[] = {
        {"both",
         "\"5f1-62a\"",
         "Tue, 01 Dec 2026 10:00:00 GMT",
         {"If-None-Match: \"5f1-62a\"\n", "If-Modified-Since: Tue, 01 Dec 2026 10:00:00 GMT\n"},
         {}},
        {"none on the next request", "", "", {}, {"If-None-Match", "If-Modified-Since"}},
        {"a value that would add a header",
         "\"a\"\r\nX-Injected: 1",
         "",
         {},
         {"X-Injected", "If-None-Match"}},
    };
    downloader loader;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        transfer_request request;
        request.url = server.url("_/headers");
        request.if_none_match = c.etag;
        request.if_modified_since = c.modified;
        memory_sink sink;
        ASSERT_TRUE(loader.download(request, sink).ok());
        for (const std::string& line : c.sent)
            EXPECT_NE(sink.text.find(line), std::string::npos) << line;
        for (const std::string& name : c.not_sent)
            EXPECT_EQ(sink.text.find(name), std::string::npos) << name;
    }
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
    // A refusal by the host is told apart from a host not found, for the player's text.
    const auto scheme = [](const char* text) {
        return std::pair{std::string(text), transfer_failure::scheme_refused};
    };
    const auto tls = [](const char* text) {
        return std::pair{std::string(text), transfer_failure::tls_refused};
    };
    const std::pair<std::string, transfer_failure> unparsed{"CURL error: 3", transfer_failure::transfer};
    using texts = std::vector<std::pair<std::string, transfer_failure>>;
    struct row {
        const char* what;
        transfer_trust trust;
        std::string url;
        texts refusals; // the texts and kinds the failure may give; none: the body arrives
    };
    const row rows[] = {
        {"https, the tests' authority", ours, https, {}},
        {"http redirected to https", ours, redirect(server.base_url, https), {}},
        {"https redirected to http", ours, redirect(server.tls_url, http), {}},
        {"a certificate for another name",
         ours,
         server.other_name_url + "_/bytes/5000",
         {tls("CURL error: 60")}},
        {"an authority file that is missing", {server.ca_file + ".missing"}, https, {tls("CURL error: 77")}},
        // A libcurl built without file support (ours for Windows) cannot even parse the target.
        {"redirected to file://", ours, redirect(server.base_url, file), {scheme("CURL error: 1"), unparsed}},
        {"redirected to ftp://", ours, redirect(server.base_url, ftp), {scheme("CURL error: 1")}},
        {"https redirected to ftp://", ours, redirect(server.tls_url, ftp), {scheme("CURL error: 1")}},
        {"file:// asked for", ours, file, {scheme("CURL error: 1")}},
        {"ftp:// asked for", ours, ftp, {scheme("CURL error: 1")}},
    };
    test::temp_dir dir;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        downloader loader(r.trust);
        transfer_request request;
        request.url = r.url;
        const transfer_result result = loader.download(request, dir.wide("target.bin"));
        if (r.refusals.empty()) {
            EXPECT_TRUE(result.ok()) << result.error;
            EXPECT_EQ(test::read_file(dir.native("target.bin")), test::generated_bytes(0, 5000));
        } else {
            EXPECT_NE(
                std::find(r.refusals.begin(), r.refusals.end(), std::pair{result.error, result.failure}),
                r.refusals.end())
                << result.error << ", kind " << static_cast<int>(result.failure);
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

// libcurl's every progress call reaches the callback, whatever the framing; the figures only
// come for an announced length.
TEST(Downloader, ProgressCallsForEveryFramingReportsOnlyForKnownLengths) {
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
        recorder progress;
        const transfer_result result =
            loader.download(progress.request(server.url(
                                std::string("_/bytes/100000?rate=2000000&chunk=4000&framing=") + c.framing)),
                            dir.wide("target.bin"));
        ASSERT_TRUE(result.ok()) << result.error;
        EXPECT_EQ(result.received, 100000u);
        ASSERT_FALSE(progress.calls.empty());
        std::uint64_t previous = 0;
        bool announced = false;
        for (const auto& call : progress.calls) {
            EXPECT_GE(call.received, previous);
            EXPECT_LE(call.received, 100000u);
            previous = call.received;
            // 0 until the headers are in, then the announced length throughout.
            if (announced || call.expected != 0) {
                EXPECT_EQ(call.expected, c.reports ? 100000u : 0u);
                announced = true;
            }
        }
        EXPECT_EQ(announced, c.reports);
        EXPECT_EQ(!progress.reports().empty(), c.reports);
    }
}

TEST(Downloader, ProgressReportsAreThrottledBoundedAndSmoothed) {
    const auto& server = test::http_server();
    test::temp_dir dir;
    downloader loader;
    constexpr double total = 60000;
    // Pieces smaller than the report step: most of libcurl's calls must not carry figures.
    const std::string url = server.url("_/bytes/60000?rate=200000&chunk=300");
    double average = 0;
    for (int transfer = 0; transfer < 2; ++transfer) {
        SCOPED_TRACE(transfer);
        recorder progress;
        ASSERT_TRUE(loader.download(progress.request(url), dir.wide("target.bin")).ok()) << loader.last_error;
        const auto reports = progress.reports();
        ASSERT_GE(reports.size(), 5u);
        EXPECT_GT(progress.calls.size(), reports.size());
        double previous = 0;
        for (const auto& report : reports) {
            SCOPED_TRACE(report.received);
            EXPECT_GE(report.received - previous, 1024.0);
            previous = report.received;
            EXPECT_EQ(report.total, total);
            EXPECT_EQ(report.percent, static_cast<int>(report.received / total * 100.0));
            EXPECT_GE(report.percent, 0);
            EXPECT_LE(report.percent, 100);
            ASSERT_TRUE(std::isfinite(report.rate) && report.rate > 0);
            // The time left comes from the smoothed rate, which the second transfer inherits.
            average = average == 0 ? report.rate : average * 0.75 + report.rate * 0.25;
            EXPECT_NEAR(report.remaining_seconds, (total - report.received) / average,
                        1e-9 * (1 + report.remaining_seconds));
        }
    }
}

TEST(Downloader, CallbackCanStopTheTransfer) {
    const auto& server = test::http_server();
    const std::string url = server.url("_/bytes/300000?rate=3000000&chunk=3000");
    test::temp_dir dir;
    downloader loader;
    transfer_request request;
    request.url = url;

    request.on_progress = [](const transfer_progress& progress) {
        return progress.report && progress.report->percent >= 10 ? progress_verdict::abort
                                                                 : progress_verdict::go_on;
    };
    transfer_result result = loader.download(request, dir.wide("target.bin"));
    EXPECT_EQ(result.failure, transfer_failure::transfer);
    EXPECT_EQ(result.error, "CURL error: 42");
    EXPECT_EQ(loader.last_error, "CURL error: 42");
    EXPECT_FALSE(fs::exists(dir.native("target.bin")));

    // An exception of the callback ends the transfer the same way but is not a transfer error.
    loader.last_error = "earlier failure";
    request.on_progress = [](const transfer_progress&) -> progress_verdict {
        throw std::runtime_error("stop");
    };
    result = loader.download(request, dir.wide("target.bin"));
    EXPECT_EQ(result.failure, transfer_failure::callback_threw);
    EXPECT_EQ(loader.last_error, "earlier failure");
    EXPECT_FALSE(fs::exists(dir.native("target.bin")));

    request.on_progress = [](const transfer_progress&) -> progress_verdict { throw 5; };
    EXPECT_THROW((void)loader.download(request, dir.wide("target.bin")), int);
    EXPECT_FALSE(fs::exists(dir.native("target.bin")));

    request.on_progress = nullptr;
    EXPECT_TRUE(loader.download(request, dir.wide("target.bin")).ok()) << loader.last_error;
    EXPECT_EQ(test::read_file(dir.native("target.bin")), test::generated_bytes(0, 300000));
}

// Each of the request's limits ends a transfer that would otherwise go on: the stall floor a
// slow one, the deadline one that keeps above the floor, the callback one that gets no byte
// at all (libcurl calls it about once a second while nothing arrives).
TEST(Downloader, EveryTransferEndsByItsTerms) {
    using namespace std::chrono_literals;
    using std::chrono::milliseconds;
    const auto& server = test::http_server();
    struct terms_case {
        const char* name;
        std::string url;
        stall_floor stall;
        milliseconds deadline;
        int idle_calls_before_abort; // 0: no abort
        const char* error;
        milliseconds at_least;
    };
    const terms_case cases[] = {
        {"below the floor", server.url("_/endless?rate=16384"), {65536, 1s}, 0ms, 0, "CURL error: 28", 900ms},
        {"the deadline", server.url("_/endless?rate=400000"), {65536, 5s}, 1200ms, 0, "CURL error: 28", 1s},
        {"nothing arrives", server.url("_/bytes/100?delay=20000"), {}, 0ms, 2, "CURL error: 42", 0ms},
    };
    test::temp_dir dir;
    downloader loader;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        transfer_request request;
        request.url = c.url;
        request.stall = c.stall;
        request.deadline = c.deadline;
        int idle_calls = 0;
        if (c.idle_calls_before_abort > 0)
            request.on_progress = [&](const transfer_progress& progress) {
                idle_calls += progress.received == 0 ? 1 : 0;
                return idle_calls == c.idle_calls_before_abort ? progress_verdict::abort
                                                               : progress_verdict::go_on;
            };
        const auto started = std::chrono::steady_clock::now();
        const transfer_result result = loader.download(request, dir.wide("target.bin"));
        const auto elapsed = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(result.error, c.error);
        EXPECT_FALSE(fs::exists(dir.native("target.bin")));
        EXPECT_GE(elapsed, c.at_least);
        EXPECT_LT(elapsed, 5s);
    }
}

// What the request asks of the body, and what the result says the server answered. Each case
// runs on the downloader of the one before, so nothing of a request carries over.
TEST(Downloader, RangesAndCapsAreAnsweredInTheResult) {
    const auto& server = test::http_server();
    const fs::path served = served_directory("ranges");
    const std::string content = test::random_bytes(100000, 3);
    test::write_file(served / "file.bin", content);
    const std::string file = served.filename().string() + "/file.bin";
    const std::string run = "ranges-" + served.filename().string();
    struct request_case {
        const char* name;
        std::string url;
        std::optional<std::uint64_t> range_start;
        std::optional<std::uint64_t> cap;
        transfer_failure failure;
        const char* error;
        int status;
        std::optional<std::uint64_t> answered_start;
        std::string body;
    };
    const request_case cases[] = {
        {"a range answered", server.url(file), 40000, std::nullopt, transfer_failure::none, "", 206, 40000,
         content.substr(40000)},
        {"a range ignored", server.url("_/resume/range=ignore,run=" + run + "/" + file), 40000, std::nullopt,
         transfer_failure::range_not_answered, "CURL error: 23", 200, std::nullopt, ""},
        // The whole file announced beyond the cap of the rest: not a range, rather than too large.
        {"a range ignored under a cap", server.url("_/resume/range=ignore,run=" + run + "/" + file), 40000,
         60000, transfer_failure::range_not_answered, "CURL error: 63", 200, std::nullopt, ""},
        {"a range refused", server.url("_/resume/range=refuse,run=" + run + "/" + file), 40000, std::nullopt,
         transfer_failure::transfer, "CURL error: 22", 416, std::nullopt, ""},
        {"a range beyond the end", server.url(file), 100000, std::nullopt, transfer_failure::transfer,
         "CURL error: 22", 416, std::nullopt, ""},
        {"the whole file after them", server.url(file), std::nullopt, std::nullopt, transfer_failure::none,
         "", 200, std::nullopt, content},
        {"a range within the cap", server.url(file), 99000, 1000, transfer_failure::none, "", 206, 99000,
         content.substr(99000)},
        {"a body of the cap", server.url("_/bytes/5000"), std::nullopt, 5000, transfer_failure::none, "", 200,
         std::nullopt, test::generated_bytes(0, 5000)},
        {"announced beyond the cap", server.url("_/bytes/5001"), std::nullopt, 5000,
         transfer_failure::too_large, "CURL error: 63", 200, std::nullopt, ""},
        {"sent beyond the cap", server.url("_/bytes/5001?framing=chunked"), std::nullopt, 5000,
         transfer_failure::too_large, "Too large: more than 5000 bytes", 200, std::nullopt, ""},
        {"a cap of nothing", server.url("_/bytes/1?framing=close"), std::nullopt, 0,
         transfer_failure::too_large, "Too large: more than 0 bytes", 200, std::nullopt, ""},
        {"nothing within it", server.url("_/bytes/0"), std::nullopt, 0, transfer_failure::none, "", 200,
         std::nullopt, ""},
        {"an error status", server.url("_/status/503"), std::nullopt, std::nullopt,
         transfer_failure::transfer, "CURL error: 22", 503, std::nullopt, ""},
    };
    downloader loader;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        transfer_request request;
        request.url = c.url;
        request.range_start = c.range_start;
        request.body_cap = c.cap;
        memory_sink sink;
        const transfer_result result = loader.download(request, sink);
        EXPECT_EQ(result.failure, c.failure);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.range_start, c.answered_start);
        EXPECT_EQ(result.received, sink.text.size());
        if (c.failure == transfer_failure::none) {
            EXPECT_EQ(sink.text, c.body);
        }
        if (c.failure == transfer_failure::range_not_answered) {
            EXPECT_EQ(sink.text.size(), 0u) << "refused before the first byte";
        }
        EXPECT_LE(sink.text.size(), c.cap.value_or(content.size()));
    }
}

TEST(Downloader, ConcurrentCallsRunOneAfterTheOther) {
    const std::string url = test::http_server().url("_/bytes/60000?rate=300000&chunk=2000");
    test::temp_dir dir;
    downloader loader;
    std::mutex order_mutex;
    std::vector<std::thread::id> order; // guarded by order_mutex
    transfer_request request;
    request.url = url;
    request.on_progress = [&](const transfer_progress& progress) {
        if (progress.report) {
            const std::lock_guard lock(order_mutex);
            order.push_back(std::this_thread::get_id());
        }
        return progress_verdict::go_on;
    };
    bool results[2] = {false, false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back(
            [&, i] { results[i] = loader.download(request, dir.wide(i == 0 ? "t0" : "t1")).ok(); });
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
