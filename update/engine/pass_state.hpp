// What the three stages of one update pass share: counters, flags, the phase of the
// progress bar, the byte totals and the two queues with their wake signals. Every value
// that more than one thread touches is atomic; the queues and signals carry their own locks.
#pragma once

#include "update/engine/work_queue.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace qz4 {

class game_launcher;
class splash_view;
class unpack_leftovers;

// A stage stops when download_failures + unpack_failures reaches failure_limit; the download
// stage also when consecutive_failures + unpack_failures reaches consecutive_limit.
inline constexpr std::uint32_t failure_limit = 10;
inline constexpr std::uint32_t consecutive_limit = 3;
// Far below any system's limit of open files, and more than the unpack workers fall behind by
// while they decode.
inline constexpr std::uint32_t held_downloads_limit = 64;

enum class progress_phase : int {
    checking = 0,       // the verification owns the bar
    check_finished = 1, // the download stage owns it
    downloads_finished = 2,
    unpacks_finished = 3,
};

struct pass_state {
    std::atomic<std::uint32_t> download_failures{0};    // written by the download stage
    std::atomic<std::uint32_t> consecutive_failures{0}; // written by the download stage
    std::atomic<std::uint32_t> unpack_failures{0};      // written by the unpack stage
    // Checked downloads held open for the unpack stage (see queued_task): each is an open
    // file, so the download stage holds no more than held_downloads_limit at once.
    std::atomic<std::uint32_t> downloads_held{0};
    std::atomic<progress_phase> phase{progress_phase::checking};
    std::atomic<bool> checks_done{false};         // the verification queued its last task
    std::atomic<bool> abort_downloads{false};     // the download stage must stop at once
    std::atomic<bool> downloads_done{false};      // the download stage ended and was joined
    std::atomic<bool> abort_unpacks{false};       // the unpack stage must stop at once
    std::atomic<bool> self_update_ready{false};   // a new launcher waits at new_exe_path
    std::atomic<bool> unpacked_copy_stays{false}; // one could not be deleted after its attempt
    // The task the new launcher was checked against; written by the unpack stage before
    // self_update_ready, read by the run after joining that stage.
    update_task self_update_task;
    // 64 bits, so that an install of more than 4 GiB still shows a true percentage.
    std::atomic<std::uint64_t> bytes_total{0}; // queued in this pass; written by the verification

    work_queue download_queue;
    work_queue unpack_queue;
    wake_signal download_wake;
    wake_signal unpack_wake;

    // Files moved into place, which must be on disk before their stamps are recorded.
    void note_placed(std::wstring path) {
        const std::lock_guard lock(placed_mutex_);
        placed_.push_back(std::move(path));
    }
    [[nodiscard]] std::vector<std::wstring> take_placed() {
        const std::lock_guard lock(placed_mutex_);
        return std::exchange(placed_, {});
    }

    [[nodiscard]] bool failure_limit_reached() const {
        return download_failures + unpack_failures >= failure_limit;
    }
    [[nodiscard]] bool consecutive_limit_reached() const {
        return consecutive_failures + unpack_failures >= consecutive_limit;
    }

private:
    std::mutex placed_mutex_; // guards placed_: written by the unpack stage, taken by the run
    std::vector<std::wstring> placed_;
};

// What a stage is started with. The launcher's `hosts` and settings do not change while a
// stage runs; its error lists and file cache carry their own locks.
struct pass_context {
    game_launcher& launcher;
    splash_view& splash;
    pass_state& state;
    std::uint32_t host_index = 0;          // the host in use for this pass's downloads
    unpack_leftovers* leftovers = nullptr; // told before the pass writes an unpacked copy
};

} // namespace qz4
