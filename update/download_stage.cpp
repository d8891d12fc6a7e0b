#include "update/download_stage.hpp"

#include "common/format.hpp"
#include "common/paths.hpp"
#include "common/text.hpp"
#include "common/texts.hpp"
#include "net/downloader.hpp"
#include "update/download_progress.hpp"
#include "update/engine_files.hpp"
#include "update/game_launcher.hpp"
#include "update/host_list.hpp"

namespace qz4 {

namespace {

class download_stage {
public:
    explicit download_stage(pass_context& context)
        : context_(context), launcher_(context.launcher), splash_(context.splash), state_(context.state) {
        prepare_transfer(transfer_, static_cast<long>(launcher_.transfer_timeout));
    }

    void run() {
        if (splash_.is_closed())
            return;
        for (;;) {
            if (state_.abort_downloads || state_.failure_limit_reached() ||
                state_.consecutive_limit_reached())
                return; // what is still queued stays unfetched in this pass
            auto task = state_.download_queue.pop();
            if (!task) {
                if (!state_.checks_done) {
                    state_.download_wake.wait();
                    if (splash_.is_closed())
                        return;
                    continue;
                }
                // The last task may have been queued between the look at the queue and the
                // look at the flag.
                task = state_.download_queue.pop();
                if (!task)
                    return;
            }
            process(task);
            if (splash_.is_closed())
                return;
        }
    }

private:
    void process(const std::shared_ptr<update_task>& shared) {
        update_task& task = *shared;
        prepare_progress();
        launcher_.files().create_directories(parent_directory(task.download_path));
        std::string error;
        std::string digest;
        bool ok = fetch(task, error, digest);
        transfer_.on_progress = nullptr;
        if (ok && !equals_ci(digest, task.download_sha1)) {
            ok = false;
            error = "SHA-1 mismatch";
            // Another attempt fetches the file again; a copy known to be wrong is no use.
            launcher_.files().delete_file(task.download_path);
        }
        if (ok) {
            state_.bytes_done += task.remote_size;
            state_.consecutive_failures = 0;
            task.attempts = 0;
            state_.unpack_queue.push(shared);
            state_.unpack_wake.raise();
            return;
        }
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

    bool fetch(const update_task& task, std::string& error, std::string& digest) {
        if (launcher_.hosts.empty()) {
            error = "No update host";
            return false;
        }
        const std::string& base =
            launcher_.hosts[download_host_index(context_.host_index, launcher_.hosts.size())];
        return download_to_file(transfer_, launcher_.files(), base + task.remote_path, task.download_path,
                                task.remote_size, error, &digest);
    }

    // The bar belongs to the verification until it has finished; from then on to this
    // stage, which takes it at the first file or progress report after the change.
    void prepare_progress() {
        last_bar_ = -1;
        last_percent_ = -1;
        owns_bar_ = false;
        if (state_.phase == progress_phase::check_finished)
            take_over_bar();
        transfer_.on_progress = [this](int, double, double, double, double received) {
            if (!owns_bar_ && state_.phase == progress_phase::check_finished)
                take_over_bar();
            if (owns_bar_)
                show_progress(received);
            // Also while the verification still runs, so that a closed splash ends the
            // transfer at once rather than at the end of a large file.
            return splash_.is_closed() ? 1 : 0;
        };
    }

    void take_over_bar() {
        owns_bar_ = true;
        const auto progress = pass_download_progress(state_.bytes_done, 0, state_.bytes_total);
        // Nothing queued has a size: there is no share to show.
        splash_.set_progress(progress ? progress->bar : 0, progress ? download_bar_units : 0);
    }

    void show_progress(double received) {
        const auto progress = pass_download_progress(state_.bytes_done, received, state_.bytes_total);
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
    }

    pass_context& context_;
    game_launcher& launcher_;
    splash_view& splash_;
    pass_state& state_;
    downloader transfer_;
    // The file in transfer; touched only by this stage's thread (the callbacks run in it).
    std::int64_t last_bar_ = -1;
    int last_percent_ = -1;
    bool owns_bar_ = false;
};

} // namespace

void download_worker(pass_context& context) noexcept {
    try {
        download_stage stage(context);
        stage.run();
    } catch (const std::exception& error) {
        // Setting the downloader up failed (or memory ran out): this pass downloads nothing
        // more, and counts as failed so that the next host is tried or the failure reported.
        ++context.state.download_failures;
        context.launcher.add_download_error(format_wide(L"Download stage stopped (%S)", error.what()));
    } catch (...) {
        ++context.state.download_failures;
    }
    context.state.phase = progress_phase::downloads_finished;
}

} // namespace qz4
