// A thin object layer over libcurl's easy interface: one owned handle per object, libcurl's
// process-wide start-up done once, and every failing libcurl call turned into an exception.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace curl {

// Every libcurl failure is thrown as this: the message and the name of the wrapper operation
// that failed go into a process-wide trace, newest first, that survives the exception.
class curl_exception : public std::exception {
public:
    struct trace_entry {
        std::string message;
        std::string operation;
    };
    // Long-running processes must not grow the trace without end; the oldest entries go.
    static constexpr std::size_t trace_limit = 64;

    curl_exception(const std::string& message, const std::string& operation);
    ~curl_exception() override = default;

    // The message given at construction.
    [[nodiscard]] const char* what() const noexcept override;

    // A copy of the trace, newest entry first.
    [[nodiscard]] static std::vector<trace_entry> trace();

private:
    // Shared so that copying an exception (as throwing does) cannot itself throw.
    std::shared_ptr<const std::string> message_;
};

class curl_easy_exception : public curl_exception {
public:
    // A failure without a libcurl result: code is CURLE_OK.
    curl_easy_exception(const std::string& message, const std::string& operation);
    // A libcurl result: the message is libcurl's own text for it.
    curl_easy_exception(CURLcode code, const std::string& operation);
    ~curl_easy_exception() override = default;

    [[nodiscard]] const char* what() const noexcept override { return curl_exception::what(); }
    [[nodiscard]] CURLcode code() const noexcept { return code_; }

private:
    CURLcode code_;
};

template <typename Code> class curl_interface;

// The base of every libcurl object: its construction makes sure libcurl's global state exists.
template <> class curl_interface<CURLcode> {
public:
    virtual ~curl_interface() = default;

    // Number of times libcurl's global start-up has succeeded in this process (at most once).
    [[nodiscard]] static int global_initialisations();

    // The start-up call used by the one-time initialiser. Replaceable, before the first
    // libcurl object of the process is built, so a failing start-up can be simulated.
    using global_init_function = CURLcode (*)(long flags);
    static void set_global_init_function(global_init_function function);

protected:
    curl_interface();

private:
    // Function-local static: built once by whichever thread gets there first. A constructor
    // that throws leaves it unbuilt, so the next libcurl object tries the start-up again.
    class global_initialisator {
    public:
        global_initialisator();
        ~global_initialisator();
        global_initialisator(const global_initialisator&) = delete;
        global_initialisator& operator=(const global_initialisator&) = delete;
    };
};

class curl_easy : public curl_interface<CURLcode> {
public:
    // A new handle whose body and headers go to standard output until replaced.
    curl_easy();
    ~curl_easy() override = default;
    curl_easy(const curl_easy&) = delete;
    curl_easy& operator=(const curl_easy&) = delete;

    // Sets one option. The value is converted to the type libcurl reads for the option (long,
    // curl_off_t, a pointer or a function pointer), because libcurl takes it through a
    // variadic call where a wrong type is undefined behaviour; a mismatch does not compile.
    template <CURLoption Option, typename T> void add(T value) {
        constexpr long kind = static_cast<long>(Option) / 10000 * 10000;
        if constexpr (kind == CURLOPTTYPE_LONG) {
            static_assert(std::is_integral_v<T> || std::is_enum_v<T>, "this option takes a number");
            set_option(Option, static_cast<long>(value));
        } else if constexpr (kind == CURLOPTTYPE_OFF_T) {
            static_assert(std::is_integral_v<T>, "this option takes a file offset");
            set_option(Option, static_cast<curl_off_t>(value));
        } else if constexpr (kind == CURLOPTTYPE_FUNCTIONPOINT) {
            static_assert(std::is_pointer_v<T> && std::is_function_v<std::remove_pointer_t<T>>,
                          "this option takes a function");
            set_option(Option, value);
        } else if constexpr (std::is_same_v<T, std::string>) {
            set_option(Option, value.c_str()); // libcurl keeps its own copy of strings
        } else {
            static_assert(std::is_pointer_v<T> || std::is_null_pointer_v<T>, "this option takes a pointer");
            set_option(Option, value);
        }
    }

    void perform();

    // What libcurl reports about the last transfer; 0 where it knows nothing.
    [[nodiscard]] long info_long(CURLINFO info) const noexcept;
    [[nodiscard]] curl_off_t info_offset(CURLINFO info) const noexcept;

    // The stream writer used as default sink: the user pointer is a std::ostream. It always
    // reports every byte as taken, so a missing or failing stream never aborts a transfer.
    static std::size_t stream_writer(char* data, std::size_t size, std::size_t count, void* stream) noexcept;

private:
    struct handle_cleanup {
        void operator()(CURL* raw) const noexcept { curl_easy_cleanup(raw); }
    };

    template <typename V> void set_option(CURLoption option, V value) {
        const CURLcode code = curl_easy_setopt(handle.get(), option, value);
        if (code != CURLE_OK)
            throw curl_easy_exception(code, "curl::curl_easy::add");
    }

    std::unique_ptr<CURL, handle_cleanup> handle;
};

} // namespace curl
