// The update run: passes of retrieval, verification and the two stages, each further pass
// on the next host, until the files are current or no host is left; then the self-update,
// the file cache and the report.
#include "common/encoding.hpp"
#include "common/file_system.hpp"
#include "common/format.hpp"
#include "texts/player_texts.hpp"
#include "update/documents/json_document.hpp"
#include "update/engine/engine_files.hpp"
#include "update/engine/game_launcher.hpp"
#include "update/engine/host_list.hpp"
#include "update/engine/index_retrieval.hpp"
#include "update/engine/run_report.hpp"
#include "update/engine/self_update.hpp"
#include "update/engine/update_pass.hpp"

#include <system_error>
#include <thread>

namespace qz4 {

// A stamp vouches for a file's content without hashing it again. Recorded before that content
// is on disk, a power loss could leave a file that no later run would check; without the
// flush the previous document stays, whose stamps the replaced files no longer match.
void game_launcher::save_cache(bool files_durable) {
    if (!files_durable || !file_cache.changed())
        return;
    (void)write_document(files(), work_area.cache_json_path, json_text_pretty(file_cache.snapshot()));
}

bool game_launcher::run(splash_view& splash, bool& restart_requested) {
    const bool result = run_passes(splash, restart_requested);
    for (const std::wstring& text : disk_errors())
        error_text += (error_text.empty() ? L"" : L"\n") + text;
    return result;
}

bool game_launcher::report_failed_pass(splash_view& splash, const pass_result& pass) {
    const failure_report report = make_failure_report(pass.download_failures, pass.unpack_failures,
                                                      download_errors(), unpack_errors(), use_russian());
    splash.set_status_text(report.status_text);
    error_text = report.error_text;
    return !update_required;
}

std::jthread game_launcher::load_cache_meanwhile() {
    const auto load = [this] {
        try {
            file_cache.load(work_area.cache_json_path);
        } catch (const std::exception&) {
            // Out of memory: without stamps every checked file is hashed, as on a first run.
        }
    };
    try {
        return std::jthread(load);
    } catch (const std::system_error&) {
        load(); // no thread to be had: the stamps are read before the retrieval instead
        return {};
    }
}

bool game_launcher::run_passes(splash_view& splash, bool& restart_requested) {
    try {
        // A repair trusts no stamp: the cache starts empty and is saved with what this run
        // finds, so the stamps of files the player damaged are gone for later runs too.
        // Otherwise the stamps are first needed by the pass: they are read on a thread of their
        // own while the update is retrieved, which hides their parsing behind its round trips.
        std::jthread cache_loading;
        if (!repair)
            cache_loading = load_cache_meanwhile();
        if (!work_area_ready_ || !is_directory(work_area.temp_dir)) {
            error_text = failure_text::cannot_create_temp;
            return !update_required;
        }
        std::uint32_t host_index = 0;
        pass_hosts served;
        std::optional<pass_result> failed_pass; // the last pass that went wrong
        for (;;) {
            retrieved_update update;
            switch (index_retrieval(*this).retrieve(splash, host_index, update)) {
            case retrieval_status::failed:
                return !update_required;
            case retrieval_status::cancelled:
                error_text = failure_text::cancelled;
                return false;
            case retrieval_status::ready:
                break;
            }
            const std::optional<std::uint32_t> pass_host = served.host_for_pass(hosts, host_index);
            if (!pass_host)
                return failed_pass ? report_failed_pass(splash, *failed_pass) : !update_required;
            host_index = *pass_host;

            if (cache_loading.joinable())
                cache_loading.join();
            pass_result pass = update_pass(*this, splash, update, host_index).run();
            if (pass.rules_invalid) {
                error_text = failure_text::config_invalid;
                return !update_required;
            }
            // Another host would not bring more room.
            if (pass.no_space) {
                const failure_report report = make_space_report(pass.no_space->needed, pass.no_space->free,
                                                                layout.game_dir, use_russian());
                splash.set_status_text(report.status_text);
                error_text = report.error_text;
                notice_before_game =
                    report.status_text +
                    format_wide(localized_text(text_id::error_detail).c_str(), error_text.c_str());
                return !update_required;
            }
            // One flush for all the pass wrote: the new launcher must be on disk before it takes
            // the old one's name (unflushed, it waits for a later start), and every file before
            // its stamp is recorded.
            // A pass that placed nothing and recorded no new stamp has nothing to flush.
            const bool durable = (pass.placed.empty() && !file_cache.changed()) ||
                                 files().make_durable(layout.game_dir, pass.placed);
            if (pass.cancelled) {
                save_cache(durable);
                error_text = failure_text::cancelled;
                return true;
            }
            const new_launcher waiting{pass.self_update_ready && durable, pass.self_update_task};
            if (self_update_step(files(), layout, waiting, self_update_allowed) ==
                self_update_result::swapped)
                restart_requested = true;

            if (pass.download_failures == 0 && pass.unpack_failures == 0) {
                splash.set_status_text(localized_text(text_id::files_updated));
                save_cache(durable);
                if (is_directory(work_area.download_dir))
                    files().remove_directory(work_area.download_dir, true);
                return true;
            }
            // What was installed stays known, so the next run need not hash it again, whether
            // or not another host gets a pass.
            save_cache(durable);
            served.note_served(hosts[host_index]);
            const std::optional<std::uint32_t> next = served.host_for_pass(hosts, host_index + 1);
            if (!next)
                return report_failed_pass(splash, pass);
            host_index = *next;
            failed_pass = std::move(pass);
        }
    } catch (const std::exception& error) {
        // Out of memory or a system resource (a thread) that could not be had.
        error_text = L"Update stopped: " + utf8_to_wide(error.what());
        return !update_required;
    }
}

} // namespace qz4
