#include "net/downloader.hpp"

#include "common/file_handle.hpp"
#include "common/file_system.hpp"
#include "common/format.hpp"
#include "net/transfer_progress.hpp"

#include <cstdio>
#include <utility>

namespace qz4 {

namespace {

constexpr const char* user_agent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:107.0) Gecko/20100101 Firefox/107.0";

std::string curl_error_text(CURLcode code) {
    return format_narrow("CURL error: %u", static_cast<unsigned>(code));
}

} // namespace

downloader::downloader(const transfer_trust& trust) {
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

void downloader::set_low_speed_time(long seconds) {
    easy.add<CURLOPT_LOW_SPEED_LIMIT>(65536L);
    easy.add<CURLOPT_LOW_SPEED_TIME>(seconds);
}

bool downloader::download(const std::string& url, const std::wstring& path) {
    const std::lock_guard lock(transfer_mutex);

    int open_error = 0;
    c_file file = open_c_file(path, L"wb", open_error);
    if (!file) {
        last_error = format_narrow("Open failed: %u", static_cast<unsigned>(open_error));
        return false;
    }
    try {
        if (perform_transfer(url, &file_writer, file.get())) {
            // The last buffered bytes reach the file only when it is closed. A failure there
            // (a full disk) loses data just like a failed write during the transfer, and is
            // reported the same way instead of as a complete file.
            if (std::fclose(file.release()) == 0)
                return true;
            last_error = curl_error_text(CURLE_WRITE_ERROR);
        }
    } catch (...) {
        file.reset();
        delete_file_now(path);
        throw;
    }
    file.reset();
    delete_file_now(path);
    return false;
}

bool downloader::download(const std::string& url, byte_sink& sink) {
    const std::lock_guard lock(transfer_mutex);
    return perform_transfer(url, &sink_writer, &sink);
}

bool downloader::perform_transfer(const std::string& url, curl_write_callback writer, void* target) {
    start_time = std::chrono::steady_clock::now();
    last_reported = 0;
    callback_exception = nullptr;
    try {
        easy.add<CURLOPT_WRITEFUNCTION>(writer);
        easy.add<CURLOPT_WRITEDATA>(target);
        easy.add<CURLOPT_URL>(url.c_str());
        try {
            easy.perform();
        } catch (const curl::curl_easy_exception&) {
            // An exception of the progress callback stopped the transfer: it is the cause.
            if (callback_exception)
                std::rethrow_exception(std::exchange(callback_exception, nullptr));
            throw;
        }
        return true;
    } catch (const curl::curl_easy_exception& error) {
        last_error = curl_error_text(error.code());
    } catch (const std::exception&) {
        // Not a transfer failure of its own: last_error keeps what it said.
    }
    return false;
}

int downloader::progress_function(void* data, double total, double received, double /*upload_total*/,
                                  double /*uploaded*/) noexcept {
    if (data == nullptr)
        return 0;
    downloader& self = *static_cast<downloader*>(data);
    const auto elapsed = std::chrono::steady_clock::now() - self.start_time;
    const std::int64_t elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    const auto report =
        next_progress_report(total, received, elapsed_ms, self.average_rate, self.last_reported);
    if (!report || !self.on_progress)
        return 0;
    try {
        return self.on_progress(report->percent, report->remaining_seconds, report->rate, report->total,
                                report->received);
    } catch (...) {
        // Unwinding through libcurl's C frames is undefined; stop the transfer and let
        // download raise it once libcurl has returned.
        self.callback_exception = std::current_exception();
        return 1;
    }
}

std::size_t downloader::file_writer(char* data, std::size_t size, std::size_t count, void* file) noexcept {
    // Fewer bytes than offered makes libcurl fail the transfer with CURLE_WRITE_ERROR.
    return std::fwrite(data, 1, size * count, static_cast<std::FILE*>(file));
}

std::size_t downloader::sink_writer(char* data, std::size_t size, std::size_t count, void* sink) noexcept {
    const std::size_t bytes = size * count;
    try {
        return static_cast<byte_sink*>(sink)->write(data, bytes) ? bytes : 0;
    } catch (...) {
        return 0; // nothing may unwind through libcurl; a refused write fails the transfer
    }
}

} // namespace qz4
