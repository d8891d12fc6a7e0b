// The libcurl object layer: one-time global start-up, handle ownership and the exception trace.
#include "net/curl_easy.hpp"

#include <atomic>
#include <deque>
#include <iostream>
#include <mutex>
#include <ostream>

namespace curl {

namespace {

// Built on first use, so an exception thrown while other static objects are being built
// still finds the trace ready.
struct exception_trace {
    std::mutex mutex;
    std::deque<curl_exception::trace_entry> entries; // guarded by mutex, newest first
};

exception_trace& process_trace() {
    static exception_trace trace;
    return trace;
}

std::atomic<curl_interface<CURLcode>::global_init_function> global_init{&curl_global_init};
std::atomic<int> successful_global_inits{0};

} // namespace

// --- exceptions -----------------------------------------------------------------------

curl_exception::curl_exception(const std::string& message, const std::string& operation)
    : message_(std::make_shared<const std::string>(message)) {
    exception_trace& trace = process_trace();
    const std::lock_guard lock(trace.mutex);
    trace.entries.push_front({message, operation});
    if (trace.entries.size() > trace_limit)
        trace.entries.pop_back();
}

const char* curl_exception::what() const noexcept {
    return message_->c_str();
}

std::vector<curl_exception::trace_entry> curl_exception::trace() {
    exception_trace& trace = process_trace();
    const std::lock_guard lock(trace.mutex);
    return {trace.entries.begin(), trace.entries.end()};
}

curl_easy_exception::curl_easy_exception(const std::string& message, const std::string& operation)
    : curl_exception(message, operation), code_(CURLE_OK) {}

curl_easy_exception::curl_easy_exception(CURLcode code, const std::string& operation)
    : curl_exception(curl_easy_strerror(code), operation), code_(code) {}

// --- global start-up ------------------------------------------------------------------

curl_interface<CURLcode>::global_initialisator::global_initialisator() {
    const CURLcode code = global_init.load()(CURL_GLOBAL_ALL);
    if (code != CURLE_OK)
        throw curl_easy_exception(code, "curl::curl_interface<enum CURLcode>::global_initialisator::"
                                        "global_initialisator");
    ++successful_global_inits;
}

// Runs at process exit, after every libcurl object built later than this initialiser is gone.
curl_interface<CURLcode>::global_initialisator::~global_initialisator() {
    curl_global_cleanup();
}

curl_interface<CURLcode>::curl_interface() {
    static const global_initialisator initialisator;
}

int curl_interface<CURLcode>::global_initialisations() {
    return successful_global_inits.load();
}

void curl_interface<CURLcode>::set_global_init_function(global_init_function function) {
    global_init.store(function);
}

// --- easy handle ----------------------------------------------------------------------

curl_easy::curl_easy() : handle(curl_easy_init()) {
    if (!handle)
        throw curl_easy_exception("Null pointer intercepted", "curl::curl_easy::curl_easy");
    add<CURLOPT_WRITEFUNCTION>(static_cast<curl_write_callback>(&stream_writer));
    add<CURLOPT_WRITEDATA>(static_cast<std::ostream*>(&std::cout));
    add<CURLOPT_HEADERFUNCTION>(static_cast<curl_write_callback>(&stream_writer));
    add<CURLOPT_HEADERDATA>(static_cast<std::ostream*>(&std::cout));
}

void curl_easy::perform() {
    const CURLcode code = curl_easy_perform(handle.get());
    if (code != CURLE_OK)
        throw curl_easy_exception(code, "curl::curl_easy::perform");
}

long curl_easy::info_long(CURLINFO info) const noexcept {
    long value = 0;
    return curl_easy_getinfo(handle.get(), info, &value) == CURLE_OK ? value : 0;
}

curl_off_t curl_easy::info_offset(CURLINFO info) const noexcept {
    curl_off_t value = 0;
    return curl_easy_getinfo(handle.get(), info, &value) == CURLE_OK ? value : 0;
}

std::size_t curl_easy::stream_writer(char* data, std::size_t size, std::size_t count, void* stream) noexcept {
    const std::size_t bytes = size * count;
    if (stream == nullptr)
        return bytes;
    try {
        static_cast<std::ostream*>(stream)->write(data, static_cast<std::streamsize>(bytes));
    } catch (...) {
        // A stream set to throw must not unwind through libcurl's C frames.
    }
    return bytes;
}

} // namespace curl
