#include "net/downloader.hpp"

#include "common/file_handle.hpp"
#include "common/file_system.hpp"
#include "common/format.hpp"
#include "net/response_head.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

namespace qz4 {

namespace {

constexpr const char* user_agent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:107.0) Gecko/20100101 Firefox/107.0";

std::string curl_error_text(CURLcode code) {
    return format_narrow("CURL error: %u", static_cast<unsigned>(code));
}

// libcurl takes these options as a long, which is 32 bits on Windows.
long as_long(std::uint64_t value) {
    return static_cast<long>(std::min<std::uint64_t>(value, LONG_MAX));
}

template <typename Duration> long whole_count(Duration duration) {
    return as_long(static_cast<std::uint64_t>(std::max<typename Duration::rep>(duration.count(), 0)));
}

// Buffered writes to an open C file; a short write is a refusal.
class c_file_sink final : public byte_sink {
public:
    explicit c_file_sink(std::FILE* file) : file_(file) {}
    bool write(const void* data, std::size_t size) override {
        return std::fwrite(data, 1, size, file_) == size;
    }

private:
    std::FILE* file_;
};

struct header_list_free {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using curl_header_list = std::unique_ptr<curl_slist, header_list_free>;

void append_header(curl_header_list& list, const char* name, const std::string& value) {
    // A value that could end its line early would let whoever gave it write headers of its own.
    if (value.empty() || validator_value(value) != value)
        return;
    const std::string line = std::string(name) + ": " + value;
    curl_slist* longer = curl_slist_append(list.get(), line.c_str());
    if (longer == nullptr)
        throw std::bad_alloc();
    (void)list.release();
    list.reset(longer);
}

curl_header_list validator_headers(const transfer_request& request) {
    curl_header_list list;
    append_header(list, "If-None-Match", request.if_none_match);
    append_header(list, "If-Modified-Since", request.if_modified_since);
    return list;
}

} // namespace

downloader::downloader(const transfer_trust& trust, proxy_routes& routes) : routes_(routes) {
    easy.add<CURLOPT_USERAGENT>(user_agent);
    easy.add<CURLOPT_VERBOSE>(0L);
    easy.add<CURLOPT_IPRESOLVE>(CURL_IPRESOLVE_WHATEVER);
    easy.add<CURLOPT_FOLLOWLOCATION>(1L);
    easy.add<CURLOPT_AUTOREFERER>(1L);
    easy.add<CURLOPT_MAXREDIRS>(5L);
    easy.add<CURLOPT_FAILONERROR>(1L);
    easy.add<CURLOPT_NOPROGRESS>(0L);
    easy.add<CURLOPT_PROGRESSFUNCTION>(static_cast<curl_progress_callback>(&progress_function));
    easy.add<CURLOPT_PROGRESSDATA>(static_cast<void*>(this));
    easy.add<CURLOPT_CONNECTTIMEOUT>(30L);
    // libcurl's default 16 KiB receive buffer costs about a third of the throughput on a fast
    // link (one receive and one file write per 16 KiB); 100 KiB, as the curl tool uses, does not.
    easy.add<CURLOPT_BUFFERSIZE>(102400L);
    // A proxy's answer to CONNECT is not the host's: the header reader sees the host's alone.
    easy.add<CURLOPT_SUPPRESS_CONNECT_HEADERS>(1L);
    restrict_to_verified_web(trust);
}

void downloader::restrict_to_verified_web(const transfer_trust& trust) {
    // libcurl speaks many protocols and follows a redirect to some of them (ftp among them on
    // most builds); a server, or whoever answers in its place, must not lead us to any but these.
    easy.add<CURLOPT_PROTOCOLS_STR>("http,https");
    easy.add<CURLOPT_REDIR_PROTOCOLS_STR>("http,https");
    // Set although they are libcurl's defaults: whatever changes elsewhere, no build of ours
    // takes a certificate it cannot check, or one issued to another name.
    easy.add<CURLOPT_SSL_VERIFYPEER>(1L);
    easy.add<CURLOPT_SSL_VERIFYHOST>(2L);
    if (!trust.ca_file.empty())
        easy.add<CURLOPT_CAINFO>(trust.ca_file);
}

// One transfer under way: its request, where the body goes, and what the answer said so far.
struct downloader::active_transfer {
    const transfer_request& request;
    byte_sink& sink;
    response_head head;
    std::uint64_t received = 0;
    bool body_started = false;
    transfer_failure refusal = transfer_failure::none; // why the writer stopped the body
    curl_header_list headers; // the request's own header lines, while libcurl may read them

    // False for a range request whose answer is not that range: a server that ignores the
    // range sends the file from its start (200), and one that answers another range would
    // splice two files.
    [[nodiscard]] bool answer_fits_request() const {
        return !request.range_start || (head.status == 206 && head.range_start == request.range_start);
    }
};

std::string lost_write_text() {
    return curl_error_text(CURLE_WRITE_ERROR);
}

bool downloader::download(const std::string& url, const std::wstring& path) {
    transfer_request request;
    request.url = url;
    return download(request, path).ok();
}

transfer_result downloader::download(const transfer_request& request, const std::wstring& path) {
    const std::lock_guard lock(transfer_mutex);

    int open_error = 0;
    c_file file = open_c_file(path, L"wb", open_error);
    if (!file) {
        transfer_result result;
        result.failure = transfer_failure::open_failed;
        result.error = format_narrow("Open failed: %u", static_cast<unsigned>(open_error));
        last_error = result.error;
        return result;
    }
    transfer_result result;
    try {
        c_file_sink sink(file.get());
        result = perform_transfer(request, sink);
        // The last buffered bytes reach the file only when it is closed. A failure there
        // (a full disk) loses data just like a failed write during the transfer, and is
        // reported the same way instead of as a complete file.
        if (result.ok()) {
            if (std::fclose(file.release()) == 0)
                return result;
            result.failure = transfer_failure::write_refused;
            result.error = lost_write_text();
            last_error = result.error;
        }
    } catch (...) {
        file.reset();
        delete_file_now(path);
        throw;
    }
    file.reset();
    delete_file_now(path);
    return result;
}

transfer_result downloader::download(const transfer_request& request, byte_sink& sink) {
    const std::lock_guard lock(transfer_mutex);
    return perform_transfer(request, sink);
}

// Every option a request touches is set for every transfer, so that nothing of an earlier
// request (a range, a cap, a floor) carries over to the next.
void downloader::apply_terms(const transfer_request& request, active_transfer& transfer) {
    easy.add<CURLOPT_URL>(request.url);
    if (request.range_start)
        easy.add<CURLOPT_RANGE>(
            format_narrow("%llu-", static_cast<unsigned long long>(*request.range_start)));
    else
        easy.add<CURLOPT_RANGE>(static_cast<const char*>(nullptr));
    // 0 lifts libcurl's check of the announced length; the writer still holds a cap of 0.
    transfer.headers = validator_headers(request);
    easy.add<CURLOPT_HTTPHEADER>(transfer.headers.get());
    easy.add<CURLOPT_MAXFILESIZE_LARGE>(std::min<std::uint64_t>(request.body_cap.value_or(0), INT64_MAX));
    easy.add<CURLOPT_TIMEOUT_MS>(whole_count(request.deadline));
    easy.add<CURLOPT_CONNECTTIMEOUT>(whole_count(request.connect_timeout));
    easy.add<CURLOPT_LOW_SPEED_LIMIT>(as_long(request.stall.bytes_per_second));
    easy.add<CURLOPT_LOW_SPEED_TIME>(request.stall.bytes_per_second > 0 ? whole_count(request.stall.time)
                                                                        : 0L);
    // Without a callback nobody looks at the figures; libcurl need not stop for them.
    easy.add<CURLOPT_NOPROGRESS>(request.on_progress ? 0L : 1L);
    // The headers are read here; nothing of them reaches standard output, where on a
    // terminal they would run through the status line.
    easy.add<CURLOPT_HEADERFUNCTION>(static_cast<curl_write_callback>(&header_reader));
    easy.add<CURLOPT_HEADERDATA>(static_cast<void*>(&transfer));
    easy.add<CURLOPT_WRITEFUNCTION>(static_cast<curl_write_callback>(&body_writer));
    easy.add<CURLOPT_WRITEDATA>(static_cast<void*>(&transfer));
}

// libcurl refuses an announced length beyond the cap before any body byte reaches the writer;
// for a range request that length may belong to an answer that is not the range at all (the
// whole file, 200), which is what the caller must hear of.
transfer_failure downloader::failure_of(CURLcode code, const active_transfer& transfer) {
    if (transfer.refusal != transfer_failure::none)
        return transfer.refusal;
    switch (code) {
    case CURLE_FILESIZE_EXCEEDED:
        return transfer.answer_fits_request() ? transfer_failure::too_large
                                              : transfer_failure::range_not_answered;
    // The host was reached and refused there, rather than not found: callers name it apart.
    case CURLE_UNSUPPORTED_PROTOCOL:
        return transfer_failure::scheme_refused;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
        return transfer_failure::tls_refused;
    default:
        return transfer_failure::transfer;
    }
}

// An empty proxy is the direct way: set explicitly, so that libcurl's own reading of the
// environment never adds a proxy the routes did not name.
void downloader::apply_route(const std::string& proxy) {
    easy.add<CURLOPT_PROXY>(proxy);
    if (proxy.empty())
        return;
    // A proxy that asks who the user is gets the logged-on user (Negotiate or NTLM through the
    // system, where libcurl is built with it), unless the setting itself names an account.
    const bool names_account = proxy.find('@') != std::string::npos;
    easy.add<CURLOPT_PROXYAUTH>(names_account ? CURLAUTH_ANY : CURLAUTH_NEGOTIATE | CURLAUTH_NTLM);
    easy.add<CURLOPT_PROXYUSERPWD>(names_account ? nullptr : ":");
}

// Whether the proxy, rather than the host behind it, failed the request: it could not be
// reached, refused the tunnel or the request itself, or closed without a word. Only before
// the body began, so that the direct way starts from nothing.
bool downloader::proxy_refused(CURLcode code, const active_transfer& transfer) const {
    if (transfer.body_started || transfer.received != 0)
        return false;
    const long tunnel_status = easy.info_long(CURLINFO_HTTP_CONNECTCODE);
    if (tunnel_status >= 400 && tunnel_status < 500)
        return true;
    if (transfer.head.status == 407)
        return true;
    const bool no_answer = transfer.head.status == 0 && tunnel_status == 0;
    switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_PROXY:
    case CURLE_AUTH_ERROR: // only a proxy is ever offered credentials
        return true;
    case CURLE_OPERATION_TIMEDOUT: // a proxy that never answered the connection
        return no_answer && easy.info_offset(CURLINFO_CONNECT_TIME_T) == 0;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
        return no_answer;
    default:
        return false;
    }
}

struct downloader::route_outcome {
    transfer_result result;
    bool proxy_refused = false;
};

// Each route has the request's whole deadline: a proxy that never answers may take its
// connection time-out, and the direct way must still have the time a document needs. A
// failed proxy is passed over for the rest of the process, so this costs one request a run.
transfer_result downloader::perform_transfer(const transfer_request& request, byte_sink& sink) {
    const std::vector<std::string> routes = routes_.routes_for(request.url);
    for (std::size_t next = 0;; ++next) {
        route_outcome outcome = perform_on_route(request, sink, routes[next]);
        if (!outcome.proxy_refused || next + 1 == routes.size())
            return std::move(outcome.result);
        routes_.proxy_failed(routes[next]);
    }
}

downloader::route_outcome downloader::perform_on_route(const transfer_request& request, byte_sink& sink,
                                                       const std::string& proxy) {
    active_transfer transfer{request, sink, {}, 0, false, transfer_failure::none, {}};
    start_time = std::chrono::steady_clock::now();
    last_reported = 0;
    callback_exception = nullptr;
    route_outcome outcome;
    transfer_result& result = outcome.result;
    try {
        apply_terms(request, transfer);
        apply_route(proxy);
        active_ = &transfer;
        struct clear_active {
            downloader& self;
            ~clear_active() { self.active_ = nullptr; }
        } const cleared{*this};
        try {
            easy.perform();
        } catch (const curl::curl_easy_exception&) {
            // An exception of the progress callback stopped the transfer: it is the cause.
            if (callback_exception)
                std::rethrow_exception(std::exchange(callback_exception, nullptr));
            throw;
        }
    } catch (const curl::curl_easy_exception& error) {
        result.failure = failure_of(error.code(), transfer);
        result.error = transfer.refusal == transfer_failure::too_large
                           ? format_narrow("Too large: more than %llu bytes",
                                           static_cast<unsigned long long>(request.body_cap.value_or(0)))
                           : curl_error_text(error.code());
        last_error = result.error;
        outcome.proxy_refused = !proxy.empty() && transfer.refusal == transfer_failure::none &&
                                proxy_refused(error.code(), transfer);
    } catch (const std::exception&) {
        // Not a transfer failure of its own: last_error keeps what it said.
        result.failure = transfer_failure::callback_threw;
    }
    result.status = transfer.head.status;
    result.range_start = transfer.head.range_start;
    result.etag = transfer.head.etag;
    result.last_modified = transfer.head.last_modified;
    result.received = transfer.received;
    return outcome;
}

std::size_t downloader::header_reader(char* data, std::size_t size, std::size_t count,
                                      void* transfer) noexcept {
    const std::size_t bytes = size * count;
    if (transfer != nullptr)
        read_header_line(std::string_view(data, bytes), static_cast<active_transfer*>(transfer)->head);
    return bytes;
}

// Fewer bytes taken than offered makes libcurl fail the transfer with CURLE_WRITE_ERROR.
std::size_t downloader::body_writer(char* data, std::size_t size, std::size_t count, void* target) noexcept {
    auto& transfer = *static_cast<active_transfer*>(target);
    const transfer_request& request = transfer.request;
    const std::size_t bytes = size * count;
    if (!transfer.body_started) {
        transfer.body_started = true;
        if (!transfer.answer_fits_request()) {
            transfer.refusal = transfer_failure::range_not_answered;
            return 0;
        }
    }
    if (request.body_cap && bytes > *request.body_cap - transfer.received) {
        transfer.refusal = transfer_failure::too_large;
        return 0;
    }
    try {
        if (!transfer.sink.write(data, bytes)) {
            transfer.refusal = transfer_failure::write_refused;
            return 0;
        }
    } catch (...) {
        // Nothing may unwind through libcurl; a sink that throws refuses.
        transfer.refusal = transfer_failure::write_refused;
        return 0;
    }
    transfer.received += bytes;
    return bytes;
}

int downloader::progress_function(void* data, double total, double received, double /*upload_total*/,
                                  double /*uploaded*/) noexcept {
    if (data == nullptr)
        return 0;
    downloader& self = *static_cast<downloader*>(data);
    if (self.active_ == nullptr || !self.active_->request.on_progress)
        return 0;
    const auto elapsed = std::chrono::steady_clock::now() - self.start_time;
    const std::int64_t elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    transfer_progress progress;
    progress.received = whole_bytes(received);
    progress.expected = whole_bytes(total);
    progress.report =
        next_progress_report(total, received, elapsed_ms, self.average_rate, self.last_reported);
    try {
        return self.active_->request.on_progress(progress) == progress_verdict::abort ? 1 : 0;
    } catch (...) {
        // Unwinding through libcurl's C frames is undefined; stop the transfer and let
        // download raise it once libcurl has returned.
        self.callback_exception = std::current_exception();
        return 1;
    }
}

} // namespace qz4
