#include "net/curl_easy.hpp"

#include "tests/support/http_test_server.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using curl::curl_easy;
using curl::curl_easy_exception;
using curl::curl_exception;
using curl_base = curl::curl_interface<CURLcode>;

constexpr const char* init_operation =
    "curl::curl_interface<enum CURLcode>::global_initialisator::global_initialisator";

// Points std::cout somewhere else for the length of a test and restores it, whatever happens.
class standard_output_capture {
public:
    explicit standard_output_capture(std::streambuf* buffer)
        : old_buffer_(std::cout.rdbuf(buffer)), old_state_(std::cout.rdstate()),
          old_exceptions_(std::cout.exceptions()) {}
    ~standard_output_capture() {
        std::cout.exceptions(std::ios::goodbit);
        std::cout.rdbuf(old_buffer_);
        std::cout.clear(old_state_);
        std::cout.exceptions(old_exceptions_);
    }
    standard_output_capture(const standard_output_capture&) = delete;
    standard_output_capture& operator=(const standard_output_capture&) = delete;

private:
    std::streambuf* old_buffer_;
    std::ios::iostate old_state_;
    std::ios::iostate old_exceptions_;
};

std::atomic<int> failing_init_calls{0};
CURLcode fail_first_init(long flags) {
    if (failing_init_calls++ == 0)
        return CURLE_FAILED_INIT;
    return curl_global_init(flags);
}

// Needs a process in which libcurl has not started yet: ctest runs every test in a process
// of its own, so it only skips when the whole program runs in one process.
TEST(CurlInterface, FailedGlobalStartUpIsTriedAgain) {
    if (curl_base::global_initialisations() != 0)
        GTEST_SKIP() << "libcurl already started in this process";
    curl_base::set_global_init_function(&fail_first_init);
    try {
        curl_easy first;
        ADD_FAILURE() << "the failed start-up was not reported";
    } catch (const curl_easy_exception& error) {
        EXPECT_EQ(error.code(), CURLE_FAILED_INIT);
        EXPECT_STREQ(error.what(), curl_easy_strerror(CURLE_FAILED_INIT));
        const auto trace = curl_exception::trace();
        ASSERT_FALSE(trace.empty());
        EXPECT_EQ(trace.front().operation, init_operation);
    }
    EXPECT_EQ(curl_base::global_initialisations(), 0);
    curl_easy second;
    curl_easy third;
    EXPECT_EQ(failing_init_calls.load(), 2);
    EXPECT_EQ(curl_base::global_initialisations(), 1);
    curl_base::set_global_init_function(&curl_global_init);
}

// Lets every thread go at once. Not std::latch: the MinGW libstdc++ this project cross-builds
// with can lose the wake-up of std::latch's atomic wait, which hung one run in sixty under Wine.
class start_gate {
public:
    explicit start_gate(int count) : waiting_(count) {}
    void arrive_and_wait() {
        std::unique_lock lock(mutex_);
        if (--waiting_ == 0)
            all_arrived_.notify_all();
        else
            all_arrived_.wait(lock, [this] { return waiting_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable all_arrived_;
    int waiting_;
};

TEST(CurlInterface, GlobalStartUpHappensOnceForConcurrentHandles) {
    constexpr int thread_count = 4;
    start_gate ready(thread_count);
    std::vector<std::thread> threads;
    for (int i = 0; i < thread_count; ++i)
        threads.emplace_back([&] {
            ready.arrive_and_wait();
            curl_easy easy;
        });
    for (auto& thread : threads)
        thread.join();
    curl_easy later;
    EXPECT_EQ(curl_base::global_initialisations(), 1);
}

TEST(CurlException, CarriesLibcurlTextOrGivenMessage) {
    for (const CURLcode code : {CURLE_COULDNT_CONNECT, CURLE_HTTP_RETURNED_ERROR, CURLE_OPERATION_TIMEDOUT,
                                CURLE_ABORTED_BY_CALLBACK, CURLE_OK}) {
        SCOPED_TRACE(code);
        const curl_easy_exception error(code, "operation");
        EXPECT_EQ(error.code(), code);
        EXPECT_STREQ(error.what(), curl_easy_strerror(code));
    }
    const curl_easy_exception error("Null pointer intercepted", "curl::curl_easy::curl_easy");
    EXPECT_EQ(error.code(), CURLE_OK);
    EXPECT_STREQ(error.what(), "Null pointer intercepted");
    const auto trace = curl_exception::trace();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.front().message, "Null pointer intercepted");
    EXPECT_EQ(trace.front().operation, "curl::curl_easy::curl_easy");
}

TEST(CurlException, TraceIsNewestFirstAndBoundedUnderConcurrentThrows) {
    constexpr int thread_count = 4;
    constexpr int per_thread = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < per_thread; ++i)
                curl_exception(std::string("message ").append(std::to_string(i)),
                               std::string("thread ").append(std::to_string(t)));
        });
    for (auto& thread : threads)
        thread.join();
    curl_exception("last", "main");
    const auto trace = curl_exception::trace();
    EXPECT_EQ(trace.size(), curl_exception::trace_limit);
    EXPECT_EQ(trace.front().message, "last");
    EXPECT_EQ(trace.front().operation, "main");
}

TEST(CurlEasy, FailuresCarryCodeAndOperation) {
    const auto& server = qz4::test::http_server();
    curl_easy easy;
    std::ostringstream sink;
    easy.add<CURLOPT_WRITEDATA>(static_cast<std::ostream*>(&sink));
    easy.add<CURLOPT_HEADERDATA>(static_cast<std::ostream*>(&sink));

    // An option value libcurl rejects.
    try {
        easy.add<CURLOPT_IPRESOLVE>(99L);
        ADD_FAILURE() << "no exception";
    } catch (const curl_easy_exception& error) {
        EXPECT_EQ(error.code(), CURLE_BAD_FUNCTION_ARGUMENT);
        EXPECT_EQ(curl_exception::trace().front().operation, "curl::curl_easy::add");
    }

    struct failing_transfer {
        std::string url;
        bool fail_on_error;
        CURLcode expected;
    };
    const failing_transfer cases[] = {
        {server.url("_/status/404"), true, CURLE_HTTP_RETURNED_ERROR},
        {server.url("_/status/500"), true, CURLE_HTTP_RETURNED_ERROR},
        {server.refused_url, false, CURLE_COULDNT_CONNECT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        easy.add<CURLOPT_FAILONERROR>(c.fail_on_error ? 1L : 0L);
        easy.add<CURLOPT_URL>(c.url);
        try {
            easy.perform();
            ADD_FAILURE() << "no exception";
        } catch (const curl_easy_exception& error) {
            EXPECT_EQ(error.code(), c.expected);
            EXPECT_EQ(curl_exception::trace().front().operation, "curl::curl_easy::perform");
        }
    }
    // Without failing on errors an error status is a completed transfer.
    easy.add<CURLOPT_FAILONERROR>(0L);
    easy.add<CURLOPT_URL>(server.url("_/status/404"));
    EXPECT_NO_THROW(easy.perform());
    EXPECT_NE(sink.str().find("status 404"), std::string::npos);
}

TEST(CurlEasy, DefaultSinksWriteBodyAndHeadersToStandardOutput) {
    const auto& server = qz4::test::http_server();
    std::ostringstream captured;
    const standard_output_capture capture(captured.rdbuf());
    curl_easy easy;
    easy.add<CURLOPT_URL>(server.url("_/bytes/3000"));
    easy.perform();
    const std::string output = captured.str();
    EXPECT_EQ(output.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << output.substr(0, 200);
    EXPECT_NE(output.find("Content-Length: 3000\r\n"), std::string::npos);
    ASSERT_GE(output.size(), 3000u);
    EXPECT_EQ(output.substr(output.size() - 3000), qz4::test::generated_bytes(0, 3000));
}

TEST(CurlEasy, DefaultSinksNeverFailATransferWhenStandardOutputIsUnavailable) {
    const auto& server = qz4::test::http_server();
    // Standard output of a program without a console: nothing can be written to it.
    struct refusing_buffer : std::streambuf {
        int_type overflow(int_type) override { return traits_type::eof(); }
        std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
    };
    struct output_state {
        const char* name;
        std::ios::iostate state;
        std::ios::iostate exceptions;
    };
    for (const output_state& s : {output_state{"failing", std::ios::goodbit, std::ios::goodbit},
                                  output_state{"already failed", std::ios::badbit, std::ios::goodbit},
                                  output_state{"throwing", std::ios::goodbit, std::ios::badbit}}) {
        SCOPED_TRACE(s.name);
        refusing_buffer refusing;
        const standard_output_capture capture(&refusing);
        std::cout.setstate(s.state);
        std::cout.exceptions(s.exceptions);
        curl_easy easy;
        easy.add<CURLOPT_URL>(server.url("_/bytes/200000"));
        EXPECT_NO_THROW(easy.perform());
    }
}

} // namespace
