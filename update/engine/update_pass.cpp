#include "update/engine/update_pass.hpp"

#include "common/byte_buffer.hpp"
#include "common/encoding.hpp"
#include "common/file_digests.hpp"
#include "common/file_system.hpp"
#include "common/format.hpp"
#include "texts/player_texts.hpp"
#include "update/documents/check_rules.hpp"
#include "update/documents/json_document.hpp"
#include "update/engine/disk_space.hpp"
#include "update/engine/download_stage.hpp"
#include "update/engine/engine_files.hpp"
#include "update/engine/file_verification.hpp"
#include "update/engine/game_launcher.hpp"
#include "update/engine/index_entries.hpp"
#include "update/engine/pass_state.hpp"
#include "update/engine/unpack_leftovers.hpp"
#include "update/engine/unpack_stage.hpp"

#include <algorithm>
#include <limits>
#include <optional>
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

task_locations task_locations_of(const game_launcher& launcher) {
    return {launcher.layout.game_dir, launcher.work_area.download_dir, launcher.layout.exe_path,
            launcher.layout.new_exe_path};
}

verification_rules update_pass::verification_for(const check_rules& rules) const {
    // With the publisher's keys, SHA-1 alone does not tie a file to the signed index.
    const digest_kinds digests =
        launcher_.update_keys().empty() ? digest_kinds::sha1 : digest_kinds::sha1_and_sha256;
    return {rules, update_.version, update_.update_number != launcher_.local_update, launcher_.repair,
            digests};
}

void update_pass::verify_and_queue(const verification_rules& verification, examined_entries& examined,
                                   pass_state& state, bool sweep_leftovers, bool& declined) {
    splash_view& splash = splash_;
    file_cache& cache = launcher_.file_cache;
    const task_locations where = task_locations_of(launcher_);
    const nlohmann::json& entries = index_files(update_.index);
    splash.set_progress(0, static_cast<std::uint32_t>(std::min<std::size_t>(
                               entries.size(), std::numeric_limits<std::uint32_t>::max())));
    byte_buffer buffer;
    digest_context digests(verification.digests);
    std::optional<listed_files> listed;
    if (sweep_leftovers)
        listed.emplace(entries);
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
        // Left by a run that stopped while unpacking this file; nothing will finish it. A
        // client file that happens to bear that name is the index's own, not a leftover.
        if (listed && !listed->contains(task->local_path + L".unp") && is_regular_file(task->unpack_path) &&
            !launcher_.files().delete_file(task->unpack_path))
            state.unpacked_copy_stays = true;

        installed_file_on_disk installed(*task, cache, buffer, digests);
        const verification_outcome outcome = verify_file(*task, verification, installed);
        if (outcome == verification_outcome::up_to_date) {
            const nlohmann::json recorded = task->local_sha1;
            if (const auto stamp = installed.stamp())
                cache.store_stamp(wide_to_utf8(task->local_path), *stamp, &recorded);
            continue;
        }
        if (outcome == verification_outcome::accepted)
            continue;
        // Nothing of a running client is replaced before the player has let us close it.
        if (launcher_.close_instances && !instances_closed) {
            if (!launcher_.close_instances()) {
                declined = true;
                continue;
            }
            instances_closed = true;
        }
        prepare_for_download(*task, where);
        // Sizes may come near 2^63: a total that wrapped would show a pass nearly done.
        const std::uint64_t total = state.bytes_total;
        state.bytes_total = total > UINT64_MAX - task->remote_size ? UINT64_MAX : total + task->remote_size;
        state.download_queue.push(task);
        state.download_wake.raise();
    }
}

// An entry that names a file but cannot bring it up to date counts as a file that failed to
// download, named with the reason: passing over it would report an update that did not
// happen. It is not counted toward the stages' failure limits, which stop the files that can
// be fetched.
std::uint32_t update_pass::report_unusable(const examined_entries& examined) {
    for (const unusable_entry& entry : examined.unusable())
        launcher_.add_download_error(
            format_wide(failure_text::download_entry, entry.local_path.c_str(), entry.reason));
    return static_cast<std::uint32_t>(examined.unusable().size());
}

pass_result update_pass::run() {
    splash_view& splash = splash_;
    const retrieved_update& update = update_;
    pass_result result;
    splash.set_status_text(localized_text(text_id::checking_game_files));
    check_rules rules;
    if (!build_check_rules(update.config, static_cast<std::uint32_t>(update.version),
                           launcher_.layout.game_dir, rules)) {
        result.rules_invalid = true;
        return result;
    }
    (void)update_document(launcher_.files(), launcher_.work_area.config_json_path,
                          json_text_pretty(update.config));
    const task_locations where = task_locations_of(launcher_);
    const verification_rules verification = verification_for(rules);
    // Before anything is fetched: a disk that fills up halfway leaves the player waiting for
    // an update that cannot finish. Where the system does not say what is free, the sizes
    // are not worth asking for.
    if (const auto free = launcher_.files().free_space(launcher_.layout.game_dir)) {
        result.no_space = find_space_shortage(index_files(update.index), where, verification,
                                              unpack_workers(launcher_.connections), *free);
        if (result.no_space)
            return result;
    }

    pass_state state;
    unpack_leftovers leftovers(launcher_.files(), launcher_.work_area.unpacking_path);
    pass_context context{launcher_, splash, state, host_index_, &leftovers};
    examined_entries examined(where, verification.digests);
    bool declined = false;
    {
        stage_threads stages(context);
        verify_and_queue(verification, examined, state, leftovers.may_remain(), declined);

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
    // A cancelled pass may not have looked beside every file, nor finished its unpacking.
    leftovers.settle(!result.cancelled && !state.unpacked_copy_stays);
    result.self_update_ready = state.self_update_ready;
    result.self_update_task = state.self_update_task;
    result.download_failures = state.download_failures + (result.cancelled ? 0 : report_unusable(examined));
    result.unpack_failures = state.unpack_failures;
    result.placed = state.take_placed();
    return result;
}

} // namespace qz4
