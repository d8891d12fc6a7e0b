#include "update/engine/download_stage.hpp"

#include "common/ascii_text.hpp"
#include "common/byte_buffer.hpp"
#include "common/format.hpp"
#include "common/paths.hpp"
#include "net/downloader.hpp"
#include "texts/player_texts.hpp"
#include "update/documents/manifests.hpp"
#include "update/engine/bandwidth_limit.hpp"
#include "update/engine/download_progress.hpp"
#include "update/engine/download_tally.hpp"
#include "update/engine/engine_files.hpp"
#include "update/engine/game_launcher.hpp"
#include "update/engine/host_list.hpp"
#include "update/engine/resumable_download.hpp"
#include "update/engine/thread_team.hpp"
#include "update/engine/transfer_limits.hpp"
#include "update/engine/transfer_meter.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

namespace qz4 {

namespace {

// The bar and the percentage over all transfers of the stage. The bar belongs to the
// verification until it has finished; from then on to this stage, which takes it at the
// first file or progress report after the change.
class stage_display {
public:
    stage_display(splash_view& splash, pass_state& state, const download_tally& tally)
        : splash_(splash), state_(state), tally_(tally) {}

    void take_over_if_due() {
        const std::lock_guard lock(mutex_);
        take_over_if_due_locked();
    }

    void show() {
        const std::lock_guard lock(mutex_);
        take_over_if_due_locked();
        if (!owns_bar_)
            return;
        const download_reading reading = tally_.read();
        const auto progress =
            pass_download_progress(reading.done, static_cast<double>(reading.in_flight), state_.bytes_total);
        if (!progress)
            return;
        const bool bar_changed = static_cast<std::int64_t>(progress->bar) != last_bar_;
        last_bar_ = progress->bar;
        if (progress->percent != last_percent_) {
            last_percent_ = progress->percent;
            splash_.set_status_text(
                format_wide(localized_text(text_id::downloading_updates).c_str(), progress->percent));
        }
        if (bar_changed)
            splash_.set_progress_value(progress->bar);
        show_figures(reading);
    }

private:
    // The rate counts what came over the network only; a continued file's part already on
    // disk shortens the time left instead. The meter sees the pass as the bytes received so
    // far plus those still to come.
    void show_figures(const download_reading& reading) {
        const std::uint64_t received = reading.received;
        const std::uint64_t counted = reading.counted();
        const std::uint64_t total = state_.bytes_total;
        const std::uint64_t remaining = total > counted ? total - counted : 0;
        if (const auto figures = meter_.record(transfer_meter::clock::now(), received, received + remaining))
            splash_.set_transfer_figures(figures->bytes_per_second, figures->seconds_left);
    }

    void take_over_if_due_locked() {
        if (owns_bar_ || state_.phase != progress_phase::check_finished)
            return;
        owns_bar_ = true;
        const auto progress = pass_download_progress(tally_.read().done, 0, state_.bytes_total);
        // Nothing queued has a size: there is no share to show.
        splash_.set_progress(progress ? progress->bar : 0, progress ? download_bar_units : 0);
    }

    splash_view& splash_;
    pass_state& state_;
    const download_tally& tally_;
    transfer_meter meter_;
    std::mutex mutex_; // guards the three fields below and orders the splash calls
    bool owns_bar_ = false;
    std::int64_t last_bar_ = -1;
    int last_percent_ = -1;
};

// A checked download held open for the unpack stage, counted while it is held.
class counted_download final : public forwarding_file_to_place {
public:
    counted_download(std::unique_ptr<file_to_place> held, std::atomic<std::uint32_t>& count)
        : forwarding_file_to_place(std::move(held)), count_(count) {
        ++count_;
    }
    ~counted_download() override { --count_; }
    counted_download(const counted_download&) = delete;
    counted_download& operator=(const counted_download&) = delete;

private:
    std::atomic<std::uint32_t>& count_;
};

// What one transfer of the stage owns. Touched only by its own thread (the progress
// callbacks run in it).
struct transfer_slot {
    explicit transfer_slot(const transfer_trust& trust) : transfer(trust) {}

    downloader transfer;
    byte_buffer buffer;
    digest_context digests;     // set to each file's kinds before it is fetched
    std::uint64_t counted = 0;  // this transfer's bytes in the stage's in-flight sum
    std::uint64_t received = 0; // what the transfer under way had received at its last report
};

class download_stage {
public:
    explicit download_stage(pass_context& context)
        : context_(context), launcher_(context.launcher), splash_(context.splash), state_(context.state),
          plan_(plan_file_transfers(context.launcher.connections, context.launcher.max_rate)),
          limit_(plan_.rate_cap), display_(context.splash, context.state, tally_) {}

    // Runs the transfers, one of them on the calling thread, and returns when all have ended.
    void run() {
        if (splash_.is_closed())
            return;
        run_on_threads(plan_.transfers, [this] { transfer_body(); });
    }

private:
    void transfer_body() noexcept {
        try {
            transfer_slot slot(launcher_.trust());
            for (;;) {
                const auto task = next_task();
                if (!task)
                    break;
                process(slot, task);
            }
        } catch (const std::exception& error) {
            // Setting a downloader up failed (or memory ran out): this transfer fetches
            // nothing more, and the pass counts as failed so that the next host is tried or
            // the failure reported.
            ++state_.download_failures;
            launcher_.add_download_error(format_wide(L"Download stage stopped (%S)", error.what()));
        } catch (...) {
            ++state_.download_failures;
        }
        // A transfer waiting for work must see that this one ended, and why.
        state_.download_wake.raise();
    }

    [[nodiscard]] bool must_stop() const {
        return state_.abort_downloads || state_.failure_limit_reached() ||
               state_.consecutive_limit_reached() || splash_.is_closed();
    }

    // Null when this transfer is to end: the stage stops (what is still queued stays
    // unfetched in this pass), or nothing is left to fetch.
    std::shared_ptr<update_task> next_task() {
        for (;;) {
            if (must_stop())
                return nullptr;
            if (auto next = state_.download_queue.pop()) {
                // One raise wakes one waiting transfer; it may take the next file.
                if (!state_.download_queue.empty())
                    state_.download_wake.raise();
                return std::move(next.task);
            }
            if (state_.checks_done)
                // The last task may have been queued between the look at the queue and the
                // look at the flag. A retry that another transfer still puts back is that
                // transfer's own to fetch.
                return state_.download_queue.pop().task;
            state_.download_wake.wait();
        }
    }

    void process(transfer_slot& slot, const std::shared_ptr<update_task>& shared) {
        update_task& task = *shared;
        display_.take_over_if_due();
        launcher_.files().create_directories(parent_directory(task.download_path));
        std::string error;
        digest_texts digests;
        std::unique_ptr<file_to_place> kept;
        bool ok = fetch(slot, task, error, digests, kept);
        if (const digest_check check = check_download(task, digests); ok && check != digest_check::match) {
            ok = false;
            error = check == digest_check::sha1_mismatch ? "SHA-1 mismatch" : "SHA-256 mismatch";
            // Another attempt fetches the file again; a copy known to be wrong is no use.
            kept.reset(); // closed first: Windows deletes no file held open
            forget_download(launcher_.files(), task.download_path);
        }
        if (ok) {
            tally_.note_finished(slot.counted, task.remote_size);
            state_.consecutive_failures = 0;
            task.attempts = 0;
            state_.unpack_queue.push(shared, std::move(kept));
            state_.unpack_wake.raise();
            return;
        }
        tally_.note_dropped(slot.counted);
        if (splash_.is_closed())
            return; // the player's cancel is no failure of the file
        ++state_.download_failures;
        ++state_.consecutive_failures;
        if (task.attempts < launcher_.max_attempts) {
            ++task.attempts;
            state_.download_queue.push(shared);
            state_.download_wake.raise();
            return;
        }
        launcher_.add_download_error(
            format_wide(failure_text::download_entry, task.local_path.c_str(), error.c_str()));
    }

    bool fetch(transfer_slot& slot, const update_task& task, std::string& error, digest_texts& digests,
               std::unique_ptr<file_to_place>& kept) {
        if (launcher_.hosts.empty()) {
            error = "No update host";
            return false;
        }
        const std::string& base =
            launcher_.hosts[download_host_index(context_.host_index, launcher_.hosts.size())];
        slot.digests.reset(task.digests);
        // A plain file checked on its way in goes in place through the handle it came in
        // through, with no second read; a packed one is read by its decoder anyway.
        const bool keep =
            task.pack_format == pack_format_none && state_.downloads_held < held_downloads_limit;
        resumable_download download(slot.transfer, launcher_.files(), task.download_path,
                                    server_file{base + task.remote_path, task.remote_path, task.download_sha1,
                                                task.download_sha256, task.remote_size},
                                    slot.buffer, slot.digests, keep);
        slot.received = 0;
        transfer_request terms;
        terms.connect_timeout = std::chrono::seconds(launcher_.transfer_timeout);
        terms.stall = {plan_.stall_rate, std::chrono::seconds(launcher_.transfer_timeout)};
        // Called also while no byte arrives, so that a closed splash ends even a stalled
        // transfer within a second.
        terms.on_progress = [this, &slot, &download](const transfer_progress& progress) {
            // A transfer that starts the file afresh counts from 0 again.
            const std::uint64_t arrived =
                progress.received >= slot.received ? progress.received - slot.received : progress.received;
            slot.received = progress.received;
            tally_.note_progress(slot.counted, download.continued_from() + progress.received, arrived);
            display_.show();
            pace(arrived);
            // Also while the verification still runs, so that a closed splash ends the
            // transfer at once rather than at the end of a large file.
            return splash_.is_closed() ? progress_verdict::abort : progress_verdict::go_on;
        };
        const bool fetched = download.run(terms, error, digests);
        if (auto held = download.take_kept())
            kept = std::make_unique<counted_download>(std::move(held), state_.downloads_held);
        return fetched;
    }

    // Holds the transfer back (libcurl reads nothing while its callback runs) until the bytes
    // that arrived fit the cap over all transfers; in slices, so that a cancel is still seen
    // at once.
    void pace(std::uint64_t arrived) {
        if (plan_.rate_cap == 0 || arrived == 0)
            return;
        auto wait = limit_.take(static_cast<std::size_t>(arrived), bandwidth_limit::clock::now());
        constexpr std::chrono::nanoseconds slice = std::chrono::milliseconds(50);
        while (wait > std::chrono::nanoseconds::zero() && !splash_.is_closed()) {
            const auto step = std::min(wait, slice);
            launcher_.pause(std::chrono::ceil<std::chrono::milliseconds>(step));
            wait -= step;
        }
    }

    pass_context& context_;
    game_launcher& launcher_;
    splash_view& splash_;
    pass_state& state_;
    // The transfers at once, the cap over them and each one's stall floor: a cap too low to
    // keep every transfer above the lowest floor runs fewer of them.
    const file_transfer_plan plan_;
    bandwidth_limit limit_; // shared by the transfers; its own lock
    download_tally tally_;  // the bar's and the rate's counts over the whole pass; its own lock
    stage_display display_;
};

} // namespace

void download_worker(pass_context& context) noexcept {
    try {
        download_stage stage(context);
        stage.run();
    } catch (...) {
        // Only memory for the stage itself can be missing here; the pass then counts as failed.
        ++context.state.download_failures;
    }
    context.splash.set_transfer_figures(0, 0);
    context.state.phase = progress_phase::downloads_finished;
}

} // namespace qz4
