// The download stage's counts under transfers that report and finish files at once, read by
// a display that must never see the bar step back.
#include "update/engine/download_tally.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace qz4 {
namespace {

// Each transfer fetches its files in reports of a quarter and then finishes them, so that at
// every finish the file's whole size moves from the in-flight sum to the done bytes: a
// reading that took the two at different moments would lose a whole file. The reader
// checks each reading against the one before until every transfer has ended.
TEST(DownloadTally, ReadingsNeverStepBackWhileTransfersFinishFiles) {
    constexpr int transfers = 4;
    constexpr int files_each = 20000;
    constexpr std::uint64_t file_size = 4096;
    download_tally tally;
    std::atomic<int> running{transfers};
    std::vector<std::thread> threads;
    for (int t = 0; t < transfers; ++t)
        threads.emplace_back([&tally, &running] {
            std::uint64_t counted = 0;
            for (int file = 0; file < files_each; ++file) {
                for (std::uint64_t share = file_size / 4; share <= file_size; share += file_size / 4)
                    tally.note_progress(counted, share, file_size / 4);
                tally.note_finished(counted, file_size);
            }
            --running;
        });

    download_reading last;
    std::uint64_t readings = 0;
    std::uint64_t steps_back = 0;
    // Reads on until the last transfer has ended; a reading after that sees every count.
    for (bool ended = false; !ended;) {
        ended = running == 0;
        const download_reading now = tally.read();
        if (now.counted() < last.counted() || now.received < last.received || now.done < last.done)
            ++steps_back;
        last = now;
        ++readings;
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(steps_back, 0u) << "of " << readings << " readings";
    constexpr std::uint64_t total = transfers * files_each * file_size;
    EXPECT_EQ(last.done, total);
    EXPECT_EQ(last.in_flight, 0u);
    EXPECT_EQ(last.received, total);
}

// A transfer that fails or restarts its file takes back what it showed; the others keep theirs.
TEST(DownloadTally, ADroppedOrRestartedTransferTakesBackOnlyItsOwnShare) {
    download_tally tally;
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    tally.note_progress(first, 700, 200); // a continued file: 500 bytes were on disk
    tally.note_progress(second, 300, 300);
    tally.note_progress(first, 100, 100); // the range was refused: from the start again
    EXPECT_EQ(tally.read().in_flight, 400u);
    tally.note_dropped(first);
    tally.note_finished(second, 1000);
    const download_reading reading = tally.read();
    EXPECT_EQ(reading.in_flight, 0u);
    EXPECT_EQ(reading.done, 1000u);
    EXPECT_EQ(reading.received, 600u);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(second, 0u);
}

} // namespace
} // namespace qz4
