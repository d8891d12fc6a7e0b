// The update engine's one object: the launcher's layout on disk, its built-in configuration,
// and the update run that brings the installed game up to the server's current update.
#pragma once

#include "common/utc_time.hpp"
#include "net/transfer_trust.hpp"
#include "signatures/signatures.hpp"
#include "splash/splash_view.hpp"
#include "update/documents/file_cache.hpp"
#include "update/engine/disk_space.hpp"
#include "update/engine/file_operations.hpp"
#include "update/engine/launcher_layout.hpp"
#include "update/engine/transfer_limits.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qz4 {

struct pass_result;

using pause_function = std::function<void(std::chrono::milliseconds)>;

// What a launcher is built from: the program gives its own path and its built-in product
// constants; tests build launchers for any executable path and host list, with their own
// seams.
struct launcher_settings {
    std::wstring exe_path;
    std::wstring product_guid;
    std::vector<std::string> built_in_hosts; // base URLs, each ending with "/"
    // Every change to the disk; null: the system's, guarded below the game folder.
    file_operations* files = nullptr;
    pause_function pause; // the wait between connection attempts; empty: sleep
    // The publisher's keys. With any, version.json and the index are taken only with a valid
    // signature by one of them, version.json only before its expiry, and never for an update
    // below one already taken or below minimum_update; with none, as they are served.
    std::vector<public_key> update_keys;
    // Whom the transfers trust for https: the system's store, unless a test build names its
    // own authority.
    transfer_trust trust;
    // The oldest update a launcher with keys takes, also where no update was taken before (a
    // fresh install, a deleted work area) or the record of it is damaged.
    std::uint32_t minimum_update = 0;
    wall_clock clock; // what an expiry is compared with; empty: the system's clock
};

class game_launcher {
public:
    explicit game_launcher(launcher_settings settings);
    game_launcher(const game_launcher&) = delete;
    game_launcher& operator=(const game_launcher&) = delete;

    // Completes the layout, creates the work area and reads which update the previous run
    // retrieved. False when there is no host to ask.
    [[nodiscard]] bool init();

    // Brings the installed files up to date. True when the caller may go on (restart when
    // `restart_requested` was set, otherwise start the game unless the splash was closed);
    // false when it must show the failure with error_text. What the disk refused follows the
    // run's own text in error_text, one line each, also when the run went through (a cache
    // that could not be saved, a launcher that could not be swapped in).
    [[nodiscard]] bool run(splash_view& splash, bool& restart_requested);

    // Retrieval attempts over the hosts: version.json, then the packed or the plain index of
    // the update it announces. False when every attempt failed, there is no host, or the
    // splash was closed.
    [[nodiscard]] bool fetch_index(nlohmann::json& index, std::uint32_t& update_number,
                                   std::uint32_t& host_index, splash_view& splash);

    // Files that failed for good, over every pass of the run. Any thread.
    void add_download_error(std::wstring text);
    void add_unpack_error(std::wstring text);
    [[nodiscard]] std::vector<std::wstring> download_errors() const;
    [[nodiscard]] std::vector<std::wstring> unpack_errors() const;
    // What the disk refused during the run, each text once, oldest first. Any thread.
    [[nodiscard]] std::vector<std::wstring> disk_errors() const;

    [[nodiscard]] file_operations& files() const { return *files_; }
    [[nodiscard]] const transfer_trust& trust() const { return settings_.trust; }
    void pause(std::chrono::milliseconds duration) const;
    // The publisher's keys; none when documents are taken as they are served.
    [[nodiscard]] const std::vector<public_key>& update_keys() const { return settings_.update_keys; }
    [[nodiscard]] std::uint32_t minimum_update() const { return settings_.minimum_update; }
    // Seconds since 1970 (UTC) by the launcher's clock.
    [[nodiscard]] std::uint64_t unix_time() const { return unix_time_now(settings_.clock); }

    // The executable and the names a self-update moves it through: fixed by the constructor.
    executable_layout layout;
    // The product's corner of the work area: fixed by init.
    work_area_layout work_area;
    std::wstring product_guid;
    std::uint32_t local_update = 0; // the update the previous run retrieved

    // The run's thread only, while no stage runs (the stages read `hosts`).
    std::vector<std::string> hosts;
    std::wstring error_text;
    // What the player must be told before the game starts on the files as they are, when the
    // run could not update them for a reason the player can act on (the disk is full); empty
    // otherwise. In the player's language, the English detail after "Error:".
    std::wstring notice_before_game;

    bool self_update_allowed = true;     // false with "-noselfupdate"
    bool update_required = false;        // when set, the run's failure exits forbid the game start
    std::uint32_t transfer_timeout = 10; // seconds: connect time-out and low-speed time of downloads
    std::uint32_t max_attempts = 3;      // retrieval attempts; retries per file and stage
    // Transfers of the download stage at once ("-connections=N"); 1 fetches file after file.
    std::uint32_t connections = default_connections;
    std::uint64_t max_rate = 0;          // bytes per second over all transfers ("-maxrate=KiB/s"); 0: no cap
    bool repair = false;                 // "-repair": every checked file is hashed, the stamp cache rebuilt
    std::uint32_t retry_delay_ms = 1000; // before every retrieval attempt after the first
    // Seconds: connect time-out and low-speed time of version.json and the index.
    std::uint32_t retrieval_timeout = 10;
    // The caps of the server's documents and the rate their deadlines assume.
    document_limits documents;

    qz4::file_cache file_cache; // guarded by its own mutex
    // Asks the player and closes running game clients; false when they declined.
    std::function<bool()> close_instances;

private:
    void save_cache(bool files_durable);
    // Starts reading the stamp cache; the pass joins the thread before it needs the stamps.
    [[nodiscard]] std::jthread load_cache_meanwhile();
    bool run_passes(splash_view& splash, bool& restart_requested);
    // The failure of the last pass, when no host is left for another.
    bool report_failed_pass(splash_view& splash, const pass_result& pass);
    void add_disk_error(std::wstring text);

    launcher_settings settings_;
    mutable std::mutex errors_mutex_;           // guards the three lists below
    std::vector<std::wstring> download_errors_; // guarded by errors_mutex_
    std::vector<std::wstring> unpack_errors_;   // guarded by errors_mutex_
    std::vector<std::wstring> disk_errors_;     // guarded by errors_mutex_
    bool work_area_ready_ = false;              // set by init
    // The system's table below the game folder, when the settings gave none.
    std::unique_ptr<file_operations> system_files_;
    reporting_file_operations reporting_files_; // the given table (or the system's), reporting
    file_operations* files_;                    // &reporting_files_
};

} // namespace qz4
