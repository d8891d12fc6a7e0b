#include "app/launcher_main.hpp"

#include "app/command_line.hpp"
#include "app/console.hpp"
#include "app/game_start.hpp"
#include "app/message_box.hpp"
#include "app/processes.hpp"
#include "app/texts.hpp"
#include "common/file_system.hpp"
#include "common/paths.hpp"
#include "patchmaker/patch_maker.hpp"
#include "product_config.hpp"
#include "splash/splash_wnd.hpp"

namespace qz4 {

namespace {

enum class update_result {
    skipped,   // no update was attempted: start the game on the installed files
    failed,    // the run forbids starting the game: show why
    restart,   // the launcher replaced itself: start the new copy instead of the game
    succeeded, // files are current: start the game unless the player closed the splash
};

struct update_outcome {
    update_result result = update_result::skipped;
    std::wstring error_text;
};

// The update engine is not wired into this build yet, so every start goes the way a
// launcher that cannot initialise its engine goes: straight to the game.
update_outcome run_update(const start_options& options, CSplashWnd& /*splash*/,
                          const std::wstring& /*game_exe_path*/) {
    (void)options;
    return {};
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
    const bool completed = run_patch_maker();
    if (options.sleep_after)
        pause_console();
    return completed ? 1 : 0;
}

int run_launcher_mode(const start_options& options, const std::vector<std::wstring>& tokens) {
    CSplashWnd splash;
    splash.set_status_text(localized_text(text_id::starting));
    splash.site_label = L"\u00AB" + std::wstring(product::site_domain) + L"\u00BB";
    splash.start();

    const std::wstring game_exe_path = join_path(module_directory(), L"client\\Client.exe");
    if (options.no_update)
        return start_game_or_report(game_exe_path, tokens);

    const update_outcome outcome = run_update(options, splash, game_exe_path);
    switch (outcome.result) {
    case update_result::skipped:
        return start_game_or_report(game_exe_path, tokens);
    case update_result::failed:
        show_error_box(update_failure_message(outcome.error_text, use_russian()));
        return 1;
    case update_result::restart:
        if (!relaunch_self(tokens))
            show_error_box(localized_text(text_id::restart_failed));
        return 0;
    case update_result::succeeded:
        set_environment_variable(L"QZ4LAUNCHER", L"true");
        if (splash.closed)
            return 1;
        return start_game_or_report(game_exe_path, tokens);
    }
    return 0;
}

} // namespace

int run_program(const std::vector<std::wstring>& tokens) {
    const start_options options = parse_start_options(tokens);
    if (options.patch_maker)
        return run_patch_maker_mode(options);
    return run_launcher_mode(options, tokens);
}

} // namespace qz4
