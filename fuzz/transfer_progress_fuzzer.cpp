// The downloader's progress arithmetic fed any figures libcurl, a lying server or a jumping
// clock could produce, one call after another on the same state as during a transfer: no
// report may carry a value that is not a finite number in its range, and the smoothed rate
// that later divides the time left must stay finite and above zero.
#include "fuzz/fuzz_support.hpp"
#include "net/transfer_progress.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

using namespace qz4;

namespace {

class figures {
public:
    figures(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    [[nodiscard]] bool empty() const { return size_ == 0; }
    template <typename T> T take() {
        T value{};
        const std::size_t n = std::min(sizeof(T), size_);
        std::memcpy(&value, data_, n);
        data_ += n;
        size_ -= n;
        return value;
    }
    // Either any bit pattern of a double (negative, subnormal, infinite, not a number) or a
    // byte count as libcurl gives it, a 64-bit integer turned into a double.
    double count() {
        const auto kind = take<std::uint8_t>();
        if (kind & 1)
            return take<double>();
        const auto value = take<std::int64_t>();
        return static_cast<double>(kind & 2 ? value : value >> (kind >> 2));
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    figures input(data, size);
    double average_rate = 0;
    double last_reported = 0;
    while (!input.empty()) {
        const double total = input.count();
        const double received = input.count();
        const auto elapsed_ms = input.take<std::int64_t>();
        const double average_before = average_rate;
        const double last_before = last_reported;
        const auto report = next_progress_report(total, received, elapsed_ms, average_rate, last_reported);
        if (!report) {
            FUZZ_CHECK(average_rate == average_before ||
                       (std::isnan(average_rate) && std::isnan(average_before)));
            FUZZ_CHECK(last_reported == last_before);
            continue;
        }
        FUZZ_CHECK(report->percent >= 0 && report->percent <= 100);
        FUZZ_CHECK(std::isfinite(report->remaining_seconds) && report->remaining_seconds >= 0);
        FUZZ_CHECK(std::isfinite(report->rate) && report->rate > 0);
        FUZZ_CHECK(report->total == total && std::isfinite(total) && total > 0);
        FUZZ_CHECK(report->received == received && std::isfinite(received) && received > 0);
        FUZZ_CHECK(std::isfinite(average_rate) && average_rate > 0);
        FUZZ_CHECK(last_reported == received);
    }
    return 0;
}
