// One pass of the update run: the check rules, the two stage threads, the verification of
// every index entry on the run's own thread, and the ordered shutdown of the stages.
#include "common/byte_buffer.hpp"
#include "common/encoding.hpp"
#include "common/file_system.hpp"
#include "common/sha1.hpp"
#include "texts/player_texts.hpp"
#include "update/documents/check_rules.hpp"
#include "update/engine/disk_space.hpp"
#include "update/engine/download_stage.hpp"
#include "update/engine/engine_files.hpp"
#include "update/engine/file_verification.hpp"
#include "update/engine/game_launcher.hpp"
#include "update/engine/index_entries.hpp"
#include "update/documents/json_document.hpp"
#include "update/engine/pass_state.hpp"
#include "update/engine/unpack_stage.hpp"

#include <algorithm>
#include <limits>
#include <thread>

namespace qz4 {

namespace {

// The stage threads of a pass. Whatever way the pass is left, both are told to stop and
// joined before the state they share goes away.
class stage_threads {
public:
    explicit stage_threads(pass_context& context) : state_(context.state) {
        download_ = std::thread(download_worker, std::ref(context));
        try {
            unpack_ = std::thread(unpack_worker, std::ref(context));
        } catch (...) {
            state_.abort_downloads = true;
            finish_downloads();
            throw;
        }
    }
    ~stage_threads() {
        if (download_.joinable() || unpack_.joinable()) {
            state_.abort_downloads = true;
            state_.abort_unpacks = true;
            finish_downloads();
            finish_unpacks();
        }
    }
    stage_threads(const stage_threads&) = delete;
    stage_threads& operator=(const stage_threads&) = delete;

    void finish_downloads() {
        state_.download_wake.raise();
        if (download_.joinable())
            download_.join();
    }
    void finish_unpacks() {
        state_.unpack_wake.raise();
        if (unpack_.joinable())
            unpack_.join();
    }

private:
    pass_state& state_;
    std::thread download_;
    std::thread unpack_;
};

} // namespace

task_locations game_launcher::task_locations_of() const {
    return {game_dir, download_dir, exe_path, new_exe_path};
}

verification_rules game_launcher::verification_for(const retrieved_update& update,
                                                   const check_rules& rules) const {
    return {rules, update.version, update.update_number != local_update, repair};
}

void game_launcher::verify_and_queue(splash_view& splash, const retrieved_update& update,
                                     const check_rules& rules, pass_state& state, bool& declined) {
    const task_locations where = task_locations_of();
    const verification_rules verification = verification_for(update, rules);
    const nlohmann::json& entries = index_files(update.index);
    splash.set_progress(0, static_cast<std::uint32_t>(std::min<std::size_t>(
                               entries.size(), std::numeric_limits<std::uint32_t>::max())));
    byte_buffer buffer;
    sha1_context digest;
    examined_entries examined(where);
    std::uint32_t counter = 1;
    bool instances_closed = false;
    for (const auto& entry : entries) {
        if (splash.is_closed() || declined)
            return;
        const auto task = examined.take(entry);
        if (!task)
            continue;
        if (state.phase == progress_phase::checking)
            splash.set_progress_value(counter++);
        splash.set_status_text(localized_text(text_id::checking_files));
        // Left by a run that stopped while unpacking this file; nothing will finish it.
        if (is_regular_file(task->unpack_path))
            files().delete_file(task->unpack_path);

        installed_file_on_disk installed(*task, file_cache, buffer, digest);
        const verification_outcome outcome = verify_file(*task, verification, installed);
        if (outcome == verification_outcome::up_to_date) {
            const nlohmann::json recorded = task->local_sha1;
            if (const auto stamp = installed.stamp())
                file_cache.store_stamp(wide_to_utf8(task->local_path), *stamp, &recorded);
            continue;
        }
        if (outcome == verification_outcome::accepted)
            continue;
        // Nothing of a running client is replaced before the player has let us close it.
        if (close_instances && !instances_closed) {
            if (!close_instances()) {
                declined = true;
                continue;
            }
            instances_closed = true;
        }
        prepare_for_download(*task, where);
        state.bytes_total += task->remote_size;
        state.download_queue.push(task);
        state.download_wake.raise();
    }
}

game_launcher::pass_result game_launcher::run_pass(splash_view& splash, const retrieved_update& update,
                                                   std::uint32_t host_index) {
    pass_result result;
    splash.set_status_text(localized_text(text_id::checking_game_files));
    check_rules rules;
    if (!build_check_rules(update.config, static_cast<std::uint32_t>(update.version), game_dir, rules)) {
        result.rules_invalid = true;
        return result;
    }
    (void)write_document(files(), config_json_path, json_text_pretty(update.config));
    // Before anything is fetched: a disk that fills up halfway leaves the player waiting for
    // an update that cannot finish. Where the system does not say what is free, the sizes
    // are not worth asking for.
    if (const auto free = files().free_space(game_dir)) {
        result.no_space = find_space_shortage(index_files(update.index), task_locations_of(),
                                              verification_for(update, rules), *free);
        if (result.no_space)
            return result;
    }

    pass_state state;
    pass_context context{*this, splash, state, host_index};
    bool declined = false;
    {
        stage_threads stages(context);
        verify_and_queue(splash, update, rules, state, declined);

        // The bar passes to the download stage, unless that stage has ended already.
        auto checking = progress_phase::checking;
        state.phase.compare_exchange_strong(checking, progress_phase::check_finished);
        const auto stopping = [&] { return splash.is_closed() || declined; };
        (stopping() ? state.abort_downloads : state.checks_done) = true;
        stages.finish_downloads();
        (stopping() ? state.abort_unpacks : state.downloads_done) = true;
        stages.finish_unpacks();
    }
    result.cancelled = splash.is_closed() || declined;
    result.self_update_ready = state.self_update_ready;
    result.self_update_digest = state.self_update_digest;
    result.download_failures = state.download_failures;
    result.unpack_failures = state.unpack_failures;
    result.placed = state.take_placed();
    return result;
}

} // namespace qz4
