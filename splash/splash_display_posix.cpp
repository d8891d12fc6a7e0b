// The splash on a terminal. One thread owns standard error's status line: when standard
// error is a terminal it redraws the line in place at most 20 times a second, and only when
// something changed; otherwise it prints each new status text once on a line of its own.
// The same thread takes Ctrl+C: SIGINT is blocked for the launcher's threads and received
// here, where it closes the splash as closing the window would.
#include "splash/splash_display.hpp"

#include "common/encoding.hpp"
#include "common/terminal_status.hpp"
#include "splash/splash_wnd.hpp"
#include "splash/status_line.hpp"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <future>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace qz4 {

namespace {

constexpr long redraw_interval_ns = 50'000'000; // 20 redraws a second at most
constexpr std::size_t default_columns = 80;

std::size_t terminal_columns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return default_columns;
}

// SIGINT is the player's Ctrl+C; SIGUSR2 only wakes the display thread when it must stop, so
// that the launcher does not wait out a redraw interval on its way out.
constexpr int wake_signal = SIGUSR2;

sigset_t interrupt_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, wake_signal);
    return set;
}

class terminal_display final : public splash_display {
public:
    explicit terminal_display(CSplashWnd& splash)
        : splash_(splash), is_terminal_(::isatty(STDERR_FILENO) != 0) {
        // Blocked before the thread starts, so the thread and every thread the launcher
        // starts later inherit the mask and the signal can only be taken by sigtimedwait.
        const sigset_t set = interrupt_set();
        ::pthread_sigmask(SIG_BLOCK, &set, &previous_mask_);
    }

    ~terminal_display() override {
        stop_ = true;
        if (thread_.joinable()) {
            ::pthread_kill(thread_.native_handle(), wake_signal);
            thread_.join();
        }
        if (is_terminal_)
            terminal_status_line::instance().clear();
        // A Ctrl+C still pending would end the process the moment the mask is restored.
        const sigset_t set = interrupt_set();
        const timespec no_wait{0, 0};
        while (::sigtimedwait(&set, nullptr, &no_wait) > 0) {
        }
        ::pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
    }

    terminal_display(const terminal_display&) = delete;
    terminal_display& operator=(const terminal_display&) = delete;

    bool start(std::chrono::milliseconds ready_timeout) override {
        if (thread_.joinable())
            return true;
        std::promise<void> ready;
        auto shown = ready.get_future();
        thread_ = std::thread([this, ready = std::move(ready)]() mutable { run(ready); });
        return shown.wait_for(ready_timeout) == std::future_status::ready;
    }

    // The thread looks for changes at its own pace, so nothing needs waking.
    void request_repaint() override {}

private:
    void run(std::promise<void>& ready) {
        draw_if_changed();
        ready.set_value();
        const sigset_t set = interrupt_set();
        const timespec interval{0, redraw_interval_ns};
        while (!stop_) {
            if (::sigtimedwait(&set, nullptr, &interval) == SIGINT) {
                // The player closed the splash; like a closed window it shows nothing more.
                splash_.closed = true;
                if (is_terminal_)
                    terminal_status_line::instance().clear();
                return;
            }
            draw_if_changed();
        }
        draw_if_changed(); // the last status before the launcher goes on
    }

    void draw_if_changed() {
        const CSplashWnd::snapshot state = splash_.take_snapshot();
        if (is_terminal_) {
            std::string line = render_status_line(
                state.status_text, state.progress_value, state.progress_total, splash_.site_label,
                terminal_columns(),
                describe_transfer(state.bytes_per_second, state.seconds_left, splash_.russian));
            if (line != last_line_) {
                terminal_status_line::instance().show(line);
                last_line_ = std::move(line);
            }
        } else if (state.status_text != last_text_) {
            last_text_ = state.status_text;
            std::fprintf(stderr, "%s\n", wide_to_utf8(last_text_).c_str());
            std::fflush(stderr);
        }
    }

    CSplashWnd& splash_;
    const bool is_terminal_;
    sigset_t previous_mask_{};
    std::atomic<bool> stop_{false};
    std::thread thread_;
    // Owned by the display thread:
    std::string last_line_;
    std::wstring last_text_;
};

} // namespace

std::unique_ptr<splash_display> create_splash_display(CSplashWnd& splash) {
    return std::make_unique<terminal_display>(splash);
}

} // namespace qz4
