// The launcher object: construction from its settings, and the work area it prepares.
#include "update/engine/game_launcher.hpp"

#include "common/file_system.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"
#include "update/engine/work_area.hpp"

#include <algorithm>
#include <thread>

namespace qz4 {

// The layout comes from the settings before they are moved into the object.
game_launcher::game_launcher(launcher_settings settings)
    : layout(layout_for_executable(settings.exe_path)), settings_(std::move(settings)),
      system_files_(settings_.files ? nullptr : system_file_operations_below(layout.game_dir)),
      reporting_files_(settings_.files ? *settings_.files : *system_files_,
                       [this](std::wstring text) { add_disk_error(std::move(text)); }),
      files_(&reporting_files_) {}

bool game_launcher::init() {
    product_guid = settings_.product_guid;
    hosts.insert(hosts.end(), settings_.built_in_hosts.begin(), settings_.built_in_hosts.end());
    work_area = layout_for_product(layout.temp_root, product_guid);

    // A work area that cannot be made is reported by the run, which needs it.
    work_area_ready_ = prepare_work_area(*files_, layout.temp_root, work_area);

    // The configuration is saved only by a run that got as far as checking files, so its
    // presence says the version.json beside it names the update that run retrieved.
    if (is_regular_file(work_area.config_json_path)) {
        try {
            local_update = read_update_number(parse_json_file(work_area.version_json_path));
        } catch (const std::exception&) {
            local_update = 0;
        }
    }
    return !hosts.empty();
}

void game_launcher::add_download_error(std::wstring text) {
    const std::lock_guard lock(errors_mutex_);
    download_errors_.push_back(std::move(text));
}

void game_launcher::add_unpack_error(std::wstring text) {
    const std::lock_guard lock(errors_mutex_);
    unpack_errors_.push_back(std::move(text));
}

void game_launcher::add_disk_error(std::wstring text) {
    const std::lock_guard lock(errors_mutex_);
    // A refusal that every retry meets again is one fault.
    if (std::find(disk_errors_.begin(), disk_errors_.end(), text) == disk_errors_.end())
        disk_errors_.push_back(std::move(text));
}

std::vector<std::wstring> game_launcher::disk_errors() const {
    const std::lock_guard lock(errors_mutex_);
    return disk_errors_;
}

std::vector<std::wstring> game_launcher::download_errors() const {
    const std::lock_guard lock(errors_mutex_);
    return download_errors_;
}

std::vector<std::wstring> game_launcher::unpack_errors() const {
    const std::lock_guard lock(errors_mutex_);
    return unpack_errors_;
}

void game_launcher::pause(std::chrono::milliseconds duration) const {
    if (duration.count() <= 0)
        return;
    if (settings_.pause)
        settings_.pause(duration);
    else
        std::this_thread::sleep_for(duration);
}

} // namespace qz4
