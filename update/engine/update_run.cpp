// The update run: passes of retrieval, verification and the two stages, each further pass
// on the next host, until the files are current or no host is left; then the self-update,
// the file cache and the report.
#include "common/encoding.hpp"
#include "common/file_system.hpp"
#include "texts/player_texts.hpp"
#include "update/engine/engine_files.hpp"
#include "update/engine/game_launcher.hpp"
#include "update/engine/host_list.hpp"
#include "update/documents/json_document.hpp"
#include "update/engine/run_report.hpp"
#include "update/engine/self_update.hpp"

namespace qz4 {

// A stamp vouches for a file's content without hashing it again. Recorded before that content
// is on disk, a power loss could leave a file that no later run would check; without the
// flush the previous document stays, whose stamps the replaced files no longer match.
void game_launcher::save_cache(bool files_durable) {
    if (!files_durable)
        return;
    (void)write_document(files(), cache_json_path, json_text_pretty(file_cache.snapshot()));
}

bool game_launcher::run(splash_view& splash, bool& restart_requested) {
    const bool result = run_passes(splash, restart_requested);
    for (const std::wstring& text : disk_errors())
        error_text += (error_text.empty() ? L"" : L"\n") + text;
    return result;
}

bool game_launcher::run_passes(splash_view& splash, bool& restart_requested) {
    try {
        // A repair trusts no stamp: the cache starts empty and is saved with what this run
        // finds, so the stamps of files the player damaged are gone for later runs too.
        if (!repair)
            file_cache.load(cache_json_path);
        if (!work_area_ready_ || !is_directory(temp_dir)) {
            error_text = failure_text::cannot_create_temp;
            return !update_required;
        }
        std::uint32_t host_index = 0;
        for (;;) {
            retrieved_update update;
            switch (retrieve_update(splash, host_index, update)) {
            case retrieval_status::failed:
                return !update_required;
            case retrieval_status::cancelled:
                error_text = failure_text::cancelled;
                return false;
            case retrieval_status::ready:
                break;
            }

            const pass_result pass = run_pass(splash, update, host_index);
            if (pass.rules_invalid) {
                error_text = failure_text::config_invalid;
                return !update_required;
            }
            // Another host would not bring more room.
            if (pass.no_space) {
                const failure_report report =
                    make_space_report(pass.no_space->needed, pass.no_space->free, game_dir, use_russian());
                splash.set_status_text(report.status_text);
                error_text = report.error_text;
                return !update_required;
            }
            // One flush for all the pass wrote: the new launcher must be on disk before it takes
            // the old one's name (unflushed, it waits for a later start), and every file before
            // its stamp is recorded.
            const bool durable = files().make_durable(game_dir, pass.placed);
            if (pass.cancelled) {
                save_cache(durable);
                error_text = failure_text::cancelled;
                return true;
            }
            const executable_layout layout{exe_path, old_exe_path, new_exe_path, game_dir, temp_root};
            const new_launcher waiting{pass.self_update_ready && durable, pass.self_update_digest};
            if (self_update_step(files(), layout, waiting, self_update_allowed) ==
                self_update_result::swapped)
                restart_requested = true;

            if (pass.download_failures == 0 && pass.unpack_failures == 0) {
                splash.set_status_text(localized_text(text_id::files_updated));
                save_cache(durable);
                files().remove_directory(download_dir, true);
                return true;
            }
            if (another_host_left(host_index, hosts.size())) {
                ++host_index;
                continue;
            }
            // What was installed stays known, so the next run need not hash it again.
            save_cache(durable);
            const failure_report report =
                make_failure_report(pass.download_failures, pass.unpack_failures, download_errors(),
                                    unpack_errors(), use_russian());
            splash.set_status_text(report.status_text);
            error_text = report.error_text;
            return !update_required;
        }
    } catch (const std::exception& error) {
        // Out of memory or a system resource (a thread) that could not be had.
        error_text = L"Update stopped: " + utf8_to_wide(error.what());
        return !update_required;
    }
}

} // namespace qz4
