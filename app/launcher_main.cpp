#include "app/launcher_main.hpp"

#include "app/command_line.hpp"
#include "app/console.hpp"
#include "app/game_instances.hpp"
#include "app/game_start.hpp"
#include "app/message_box.hpp"
#include "app/processes.hpp"
#include "app/program_files.hpp"
#include "common/file_system.hpp"
#include "common/paths.hpp"
#include "patchmaker/patch_maker.hpp"
#include "signatures/signatures.hpp"
#include "splash/splash_wnd.hpp"
#include "texts/player_texts.hpp"
#include "update/engine/executable_restore.hpp"
#include "update/engine/game_launcher.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

namespace qz4 {

namespace {

// The product's constants, chosen when the program is built (see app/CMakeLists.txt).
constexpr char update_url_primary[] = QZ4_UPDATE_URL_PRIMARY;
constexpr char update_url_fallback[] = QZ4_UPDATE_URL_FALLBACK;
constexpr wchar_t product_guid[] = L"" QZ4_PRODUCT_GUID;
constexpr wchar_t site_domain[] = L"" QZ4_SITE_DOMAIN;
constexpr char update_public_keys[] = QZ4_UPDATE_PUBLIC_KEY;
constexpr char ca_file[] = QZ4_CA_FILE; // empty but in test builds: the system's store decides
constexpr std::uint32_t minimum_update = QZ4_MINIMUM_UPDATE;

std::vector<public_key> built_in_update_keys() {
    // The build has checked the text. Were it unreadable after all, running without the
    // checks would be the one wrong answer.
    std::optional<std::vector<public_key>> keys = parse_public_keys(update_public_keys);
    if (!keys)
        throw std::logic_error("the built-in update keys cannot be read");
    return std::move(*keys);
}

launcher_settings built_in_launcher_settings(const std::wstring& own_path) {
    launcher_settings settings;
    settings.exe_path = own_path;
    settings.product_guid = product_guid;
    settings.built_in_hosts = {update_url_primary, update_url_fallback};
    settings.update_keys = built_in_update_keys();
    settings.minimum_update = minimum_update;
    settings.files = &program_file_operations(layout_for_executable(settings.exe_path).game_dir);
    settings.trust.ca_file = ca_file;
    return settings;
}

// Puts the launcher's own file back when a cut self-update left it missing, and hands over
// to the launcher at its own name when this one runs from another. False when this process
// has handed over and must end.
bool continue_under_own_name(const std::wstring& running, const std::vector<std::wstring>& tokens) {
    const executable_layout layout = layout_for_executable(running);
    if (!restore_executable(program_file_operations(layout.game_dir), layout) || running == layout.exe_path)
        return true;
    // Not relaunch_self: on Windows it starts the program named by this process's own
    // command line, which is this copy again. Should the start fail, this copy does the work
    // under the launcher's name.
    return !relaunch_program(layout.exe_path, tokens);
}

int start_game_or_report(const std::wstring& game_exe_path, const std::vector<std::wstring>& tokens) {
    if (!start_game(game_exe_path, tokens)) {
        const std::uint32_t error = last_system_error();
        show_error_box(game_start_failure_message(error, use_russian()));
    }
    return 0;
}

int run_patch_maker_mode(const start_options& options) {
    open_console_for_output();
    const bool completed = run_patch_maker(built_in_update_keys());
    if (options.sleep_after)
        pause_console();
    return completed ? 1 : 0;
}

int run_launcher_mode(const start_options& options, const std::vector<std::wstring>& tokens,
                      const std::wstring& own_path) {
    // Without its own path the launcher knows neither the game nor its work area: like a game
    // that cannot be started, that is said, and nothing else is done.
    if (own_path.empty()) {
        const std::uint32_t error = last_system_error();
        show_error_box(game_start_failure_message(error != 0 ? error : 2, use_russian()));
        return 0;
    }
    if (!continue_under_own_name(own_path, tokens))
        return 0;
    CSplashWnd splash;
    splash.set_status_text(localized_text(text_id::starting));
    splash.site_label = L"\u00AB" + std::wstring(site_domain) + L"\u00BB";
    splash.start();

    const std::wstring game_exe_path = join_path(parent_directory(own_path), L"client\\Client.exe");
    game_launcher launcher(built_in_launcher_settings(own_path));
    launcher.self_update_allowed = options.self_update_allowed;
    launcher.repair = options.repair;
    launcher.connections = options.connections;
    launcher.max_rate = options.max_rate;
    // Without an update, or without a host to ask, the installed files are what the game gets.
    if (options.no_update || !launcher.init())
        return start_game_or_report(game_exe_path, tokens);

    launcher.close_instances = [&game_exe_path] { return close_game_instances(game_exe_path); };
    bool restart_requested = false;
    if (!launcher.run(splash, restart_requested)) {
        show_error_box(update_failure_message(launcher.error_text, use_russian()));
        return 1;
    }
    if (restart_requested) {
        if (!relaunch_self(launcher.layout.exe_path, tokens))
            show_error_box(localized_text(text_id::restart_failed));
        return 0;
    }
    set_environment_variable(L"QZ4LAUNCHER", L"true");
    if (splash.closed)
        return 1;
    if (!launcher.notice_before_game.empty())
        show_error_box(launcher.notice_before_game);
    return start_game_or_report(game_exe_path, tokens);
}

} // namespace

int run_program(const std::vector<std::wstring>& tokens) {
    return run_program(tokens, module_path());
}

int run_program(const std::vector<std::wstring>& tokens, const std::wstring& own_path) {
    const start_options options = parse_start_options(tokens);
    if (options.patch_maker)
        return run_patch_maker_mode(options);
    return run_launcher_mode(options, tokens, own_path);
}

} // namespace qz4
