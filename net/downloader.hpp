// Fetches one URL at a time into a file over HTTP or HTTPS, with a fixed browser-like identity,
// redirects, failure on HTTP error statuses, connection and low-speed limits, and progress
// reports. Failures come back as false plus a text; no libcurl exception leaves a download.
#pragma once

#include "common/byte_sink.hpp"
#include "net/curl_easy.hpp"
#include "net/transfer_trust.hpp"

#include <chrono>
#include <exception>
#include <functional>
#include <mutex>
#include <string>

namespace qz4 {

class downloader {
public:
    // Sets the fixed options; a libcurl failure here is thrown (curl::curl_easy_exception).
    // Only http and https are spoken, redirects included, and certificates are always checked.
    explicit downloader(const transfer_trust& trust = {});
    virtual ~downloader() = default;
    downloader(const downloader&) = delete;
    downloader& operator=(const downloader&) = delete;

    // A transfer slower than 64 KiB/s for this many seconds fails with CURLE_OPERATION_TIMEDOUT.
    void set_low_speed_time(long seconds);

    // Stores the whole response body of `url` (UTF-8) in the file at `path`. On failure returns
    // false, sets last_error ("Open failed: %u" or "CURL error: %u") and leaves no file behind
    // (a file that could not be opened is left as it was).
    [[nodiscard]] bool download(const std::string& url, const std::wstring& path);
    // The same into a sink. A refused write fails the transfer ("CURL error: 23"); what the
    // sink already took is the caller's to discard.
    [[nodiscard]] bool download(const std::string& url, byte_sink& sink);

    // Text of the last failure; empty until one happens.
    std::string last_error;

private:
    std::mutex transfer_mutex; // held for the whole of a download call

public:
    // The handle, for owners that adjust options such as the connect time-out.
    curl::curl_easy easy;

private:
    // Touched only by the thread inside download, which holds transfer_mutex.
    std::chrono::steady_clock::time_point start_time;
    double average_rate = 0;  // bytes per second, smoothed; carried over to later transfers
    double last_reported = 0; // bytes received at the last report of this transfer

public:
    // Optional; called with (percent, seconds left, rate so far, bytes expected, bytes
    // received) at most once per 1024 received bytes when the size is known. A non-zero
    // result aborts the transfer (CURL error 42).
    std::function<int(int, double, double, double, double)> on_progress;

    // libcurl's progress callback (its user pointer is the downloader); public so that its
    // cost can be measured on its own.
    static int progress_function(void* data, double total, double received, double upload_total,
                                 double uploaded) noexcept;

private:
    void restrict_to_verified_web(const transfer_trust& trust);
    // Runs one transfer into `target` through `writer`; false with last_error set on failure.
    bool perform_transfer(const std::string& url, curl_write_callback writer, void* target);
    static std::size_t file_writer(char* data, std::size_t size, std::size_t count, void* file) noexcept;
    static std::size_t sink_writer(char* data, std::size_t size, std::size_t count, void* sink) noexcept;

    // An exception thrown by on_progress, held until libcurl has unwound.
    std::exception_ptr callback_exception;
};

} // namespace qz4
