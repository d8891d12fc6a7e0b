// Fetches one URL at a time into a file or a sink over HTTP or HTTPS, with a fixed browser-like
// identity, redirects and failure on HTTP error statuses, under the terms of a request (range,
// body cap, deadline, stall floor, progress). Failures come back in the result; no libcurl
// exception leaves a download.
#pragma once

#include "common/byte_sink.hpp"
#include "net/curl_easy.hpp"
#include "net/proxy_routes.hpp"
#include "net/transfer_request.hpp"
#include "net/transfer_trust.hpp"

#include <chrono>
#include <exception>
#include <mutex>
#include <string>

namespace qz4 {

class downloader {
public:
    // Sets the fixed options; a libcurl failure here is thrown (curl::curl_easy_exception).
    // Only http and https are spoken, redirects included, and certificates are always checked.
    // Each request goes through the proxies `routes` names for it; when a proxy cannot be
    // used, the same request goes directly, each way under the request's terms.
    explicit downloader(const transfer_trust& trust = {}, proxy_routes& routes = system_proxy_routes());
    virtual ~downloader() = default;
    downloader(const downloader&) = delete;
    downloader& operator=(const downloader&) = delete;

    // Stores the body of request.url in the file at `path` (created or truncated). On failure
    // nothing is left at `path`, except a file that could not be opened, which is left as it was.
    [[nodiscard]] transfer_result download(const transfer_request& request, const std::wstring& path);
    // The same into a sink. What the sink took of a failed transfer is the caller's to discard.
    [[nodiscard]] transfer_result download(const transfer_request& request, byte_sink& sink);
    // The whole body of `url` (UTF-8) into `path` under a plain request's terms; false with
    // last_error set on failure.
    [[nodiscard]] bool download(const std::string& url, const std::wstring& path);

    // Text of the last failure ("Open failed: %u", "CURL error: %u", "Too large: ..."); empty
    // until one happens.
    std::string last_error;

    // libcurl's progress callback (its user pointer is the downloader); public so that its
    // cost can be measured on its own. Outside a transfer it does nothing.
    static int progress_function(void* data, double total, double received, double upload_total,
                                 double uploaded) noexcept;

private:
    std::mutex transfer_mutex; // held for the whole of a download call

protected:
    // The handle. A derived downloader may change an option to compare it with ours (a
    // benchmark); callers of a download ask through the request only.
    curl::curl_easy easy;

private:
    struct active_transfer;

    void restrict_to_verified_web(const transfer_trust& trust);
    // Runs one transfer into the sink under the request's terms, on each of its routes in
    // turn while a proxy fails it. The caller holds transfer_mutex.
    transfer_result perform_transfer(const transfer_request& request, byte_sink& sink);
    struct route_outcome;
    route_outcome perform_on_route(const transfer_request& request, byte_sink& sink,
                                   const std::string& proxy);
    void apply_terms(const transfer_request& request, active_transfer& transfer);
    void apply_route(const std::string& proxy);
    [[nodiscard]] bool proxy_refused(CURLcode code, const active_transfer& transfer) const;
    static transfer_failure failure_of(CURLcode code, const active_transfer& transfer);
    static std::size_t header_reader(char* data, std::size_t size, std::size_t count,
                                     void* transfer) noexcept;
    static std::size_t body_writer(char* data, std::size_t size, std::size_t count, void* transfer) noexcept;

    proxy_routes& routes_;

    // Touched only by the thread inside download, which holds transfer_mutex.
    active_transfer* active_ = nullptr; // the transfer under way; null between transfers
    std::chrono::steady_clock::time_point start_time;
    double average_rate = 0;  // bytes per second, smoothed; carried over to later transfers
    double last_reported = 0; // bytes received at the last report of this transfer
    // An exception thrown by the progress callback, held until libcurl has unwound.
    std::exception_ptr callback_exception;
};

} // namespace qz4
