// Shows the splash like the launcher: "status text" and "value/total" from the arguments,
// says how long the start waited for the splash to show, then waits until the splash is closed (printing
// "closed" on standard output) or until the given number of milliseconds has passed; with a
// rate (bytes per second) and the seconds left, shows them as the download's figures.
//   qz4_splash_demo <status> <value> <total> <wait-ms> [<second status> [<rate> <seconds left>]]
#include "common/encoding.hpp"
#include "splash/splash_wnd.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fputs(
            "usage: qz4_splash_demo <status> <value> <total> <wait-ms> [<second status> [<rate> <seconds "
            "left>]]\n",
            stderr);
        return 2;
    }
    CSplashWnd splash;
    splash.site_label = L"\u00ABtarnwood-game.net\u00BB";
    splash.set_status_text(qz4::utf8_to_wide(argv[1]));
    splash.progress_value = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    splash.progress_total = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    if (argc >= 8)
        splash.set_transfer_figures(std::strtod(argv[6], nullptr), std::strtod(argv[7], nullptr));
    const auto starting = std::chrono::steady_clock::now();
    splash.start();
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - starting);
    std::printf("started after %lld ms\n", static_cast<long long>(waited.count()));
    std::fflush(stdout);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atol(argv[4]));
    bool second_shown = argc < 6;
    while (!splash.closed && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!second_shown &&
            std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atol(argv[4]) / 2) > deadline) {
            splash.set_status_text(qz4::utf8_to_wide(argv[5]));
            second_shown = true;
        }
    }
    if (splash.closed)
        std::puts("closed");
    std::fflush(stdout);
    return 0;
}
