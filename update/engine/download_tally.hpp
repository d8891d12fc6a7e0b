// The download stage's byte counts over all its transfers: files verified, bytes of the
// transfers under way, and bytes that came over the network. They change together and are
// read together, so that no reading mixes the counts of two moments: a file that leaves the
// in-flight sum as it becomes done never shows as neither, and the bar never steps back.
#pragma once

#include <cstdint>
#include <mutex>

namespace qz4 {

struct download_reading {
    std::uint64_t done = 0;      // sizes of the files downloaded and verified
    std::uint64_t in_flight = 0; // of the transfers under way, a continued file with its part on disk
    std::uint64_t received = 0;  // over the network, for the rate

    [[nodiscard]] std::uint64_t counted() const { return done + in_flight; }
};

class download_tally {
public:
    // A transfer's report: `arrived` more bytes came, and its share of the in-flight sum is
    // now `share`. `counted` is that share as the tally holds it, kept by the transfer.
    void note_progress(std::uint64_t& counted, std::uint64_t share, std::uint64_t arrived) {
        const std::lock_guard lock(mutex_);
        reading_.received += arrived;
        move_share(counted, share);
    }
    // A file verified: its size becomes done in the same step as its share leaves.
    void note_finished(std::uint64_t& counted, std::uint64_t size) {
        const std::lock_guard lock(mutex_);
        reading_.done += size;
        move_share(counted, 0);
    }
    // A transfer that failed or was cancelled: its share leaves, and what it showed goes.
    void note_dropped(std::uint64_t& counted) {
        const std::lock_guard lock(mutex_);
        move_share(counted, 0);
    }

    [[nodiscard]] download_reading read() const {
        const std::lock_guard lock(mutex_);
        return reading_;
    }

private:
    // Unsigned arithmetic wraps, so one addition serves both directions.
    void move_share(std::uint64_t& counted, std::uint64_t share) {
        reading_.in_flight += share - counted;
        counted = share;
    }

    // Guards reading_; taken by every transfer at each report and by the display.
    mutable std::mutex mutex_;
    download_reading reading_;
};

} // namespace qz4
