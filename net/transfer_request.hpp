// What a caller asks of one transfer and what it gets back. The downloader turns these into
// libcurl's options and reads the answer's status line and range itself, so that its callers
// deal in HTTP terms without a libcurl symbol of their own.
#pragma once

#include "net/transfer_progress.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace qz4 {

// A transfer slower than `bytes_per_second` for `time` counts as stalled and fails
// ("CURL error: 28"). A rate of 0 sets no floor.
struct stall_floor {
    std::uint64_t bytes_per_second = 0;
    std::chrono::seconds time{0};
};

enum class progress_verdict { go_on, abort };

struct transfer_request {
    std::string url; // UTF-8
    // Asks for the body from this offset on ("Range: bytes=<start>-"). Only an answer that
    // continues there (206 with that Content-Range) is taken; any other body is refused before
    // its first byte, and a body-less answer shows in the result's status.
    std::optional<std::uint64_t> range_start;
    // The most body bytes taken: an announced length beyond it is refused before the first
    // byte ("CURL error: 63"), a longer body is stopped ("Too large: more than %llu bytes").
    std::optional<std::uint64_t> body_cap;
    // Validators of a copy the caller holds, from an earlier result: sent as If-None-Match
    // and If-Modified-Since (each when not empty), so that a server whose file has not
    // changed answers 304 with no body. Values a result could not carry are not sent.
    std::string if_none_match;
    std::string if_modified_since;
    // The whole transfer, connection and redirects included, ends after this ("CURL error: 28");
    // zero sets no deadline.
    std::chrono::milliseconds deadline{0};
    std::chrono::seconds connect_timeout{30};
    stall_floor stall;
    // Called on every progress call libcurl makes: whenever bytes arrive, and about once a
    // second while none do, so that an abort is seen within a second even on a stalled
    // connection. `abort` ends the transfer ("CURL error: 42"). Empty: no progress is followed.
    std::function<progress_verdict(const transfer_progress&)> on_progress;
};

// Why a transfer did not deliver the whole body.
enum class transfer_failure {
    none,
    open_failed,        // the target file could not be opened ("Open failed: %u")
    too_large,          // the body went beyond the cap ("Too large: more than %llu bytes")
    write_refused,      // the sink refused bytes (a full disk): "CURL error: 23"
    range_not_answered, // a body that does not continue at range_start, refused: "CURL error: 23"
    tls_refused,        // the host's certificate did not hold or the TLS handshake failed
    scheme_refused,     // a redirect led to a scheme other than http and https
    transfer,           // any other: connection, HTTP error status, deadline, stall, abort
    callback_threw,     // the progress callback threw a standard exception; no text of its own
};

struct transfer_result {
    transfer_failure failure = transfer_failure::none;
    std::string error; // "Open failed: %u", "CURL error: %u", "Too large: ..."; empty on success
    int status = 0;    // of the final response (after redirects); 0 when none came
    // The start of the final response's "Content-Range: bytes <start>-<end>/<size>".
    std::optional<std::uint64_t> range_start;
    std::uint64_t received = 0; // body bytes the target took
    // The final answer's validators (response_head); empty when it gave none.
    std::string etag;
    std::string last_modified;

    [[nodiscard]] bool ok() const { return failure == transfer_failure::none; }
    // Whether the answer is the body from `start` on, as a range request asked.
    [[nodiscard]] bool answers_range(std::uint64_t start) const {
        return status == 206 && range_start == start;
    }
    // The server says the copy named by the request's validators is still current: no body came.
    [[nodiscard]] bool not_modified() const { return ok() && status == 304; }
};

// The text of a transfer whose bytes were lost after the transfer had taken them (a file
// that fails to close): the same as a write refused during the transfer.
[[nodiscard]] std::string lost_write_text();

} // namespace qz4
