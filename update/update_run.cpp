// The update run: passes of retrieval, verification and the two stages, each further pass
// on the next host, until the files are current or no host is left; then the self-update,
// the file cache and the report.
#include "common/encoding.hpp"
#include "common/file_system.hpp"
#include "common/texts.hpp"
#include "update/engine_files.hpp"
#include "update/game_launcher.hpp"
#include "update/host_list.hpp"
#include "update/json_document.hpp"
#include "update/run_report.hpp"
#include "update/self_update.hpp"

namespace qz4 {

void game_launcher::save_cache() {
    // Unless what the cache vouches for is on the disk, the next run checks it again.
    if (files().flush_written_files())
        (void)write_document(files(), cache_json_path, json_text_pretty(file_cache.snapshot()));
}

bool game_launcher::run(splash_view& splash, bool& restart_requested) {
    try {
        file_cache.load(cache_json_path);
        if (!is_directory(temp_dir)) {
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
            if (pass.cancelled) {
                save_cache();
                error_text = failure_text::cancelled;
                return true;
            }
            const executable_layout layout{exe_path, old_exe_path, new_exe_path, game_dir, temp_root};
            // A swap must not put a launcher at exe_path that a power cut could still lose.
            const bool new_launcher_ready = pass.self_update_ready && files().flush_written_files();
            if (self_update_step(files(), layout, new_launcher_ready, self_update_allowed) ==
                self_update_result::swapped)
                restart_requested = true;

            if (pass.download_failures == 0 && pass.unpack_failures == 0) {
                splash.set_status_text(localized_text(text_id::files_updated));
                save_cache();
                files().remove_directory(download_dir, true);
                return true;
            }
            if (another_host_left(host_index, hosts.size())) {
                ++host_index;
                continue;
            }
            // What was installed stays known, so the next run need not hash it again.
            save_cache();
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
