// The launcher's splash: status line, progress bar and site label, shown while the update
// runs. Closing it is the player's way to cancel. On Windows it is a borderless picture on a
// thread of its own; elsewhere the same object draws a status line on the terminal.
#pragma once

#include "splash/splash_view.hpp"
#include "texts/player_texts.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace qz4 {
class splash_display;
}

class CSplashWnd final : public qz4::splash_view {
public:
    CSplashWnd();
    ~CSplashWnd() override;
    CSplashWnd(const CSplashWnd&) = delete;
    CSplashWnd& operator=(const CSplashWnd&) = delete;

    // Starts the display and waits until it shows, at most 15 seconds; at once when the
    // display gives up (a splash without its picture shows nothing and costs no wait).
    void start();

    // Replaces the status line and repaints. Any thread.
    void set_status_text(const std::wstring& text) override;
    void set_progress(std::uint32_t value, std::uint32_t total) override;
    void set_progress_value(std::uint32_t value) override;
    // Kept until a rate of 0 or less clears them, or the bar changes hands (a new total);
    // repaints when they change.
    void set_transfer_figures(double bytes_per_second, double seconds_left) override;
    [[nodiscard]] bool is_closed() const override { return closed; }
    // Asks for a repaint after progress_value or progress_total changed. Any thread.
    void repaint();

    // What the painter draws, copied under the same lock the writers take.
    struct snapshot {
        std::wstring status_text;
        std::uint32_t progress_value = 0;
        std::uint32_t progress_total = 0;
        double bytes_per_second = 0; // 0: no figures to show
        double seconds_left = 0;
    };
    [[nodiscard]] snapshot take_snapshot() const;

    // Written by the update engine's threads; a total of 0 hides the bar.
    std::atomic<std::uint32_t> progress_value{0};
    std::atomic<std::uint32_t> progress_total{0};
    // True once the player closed the splash, or shutdown began.
    std::atomic<bool> closed{false};
    // Set once, before start().
    std::wstring site_label;
    // The language of the words beside the figures; the system's, like the status texts the
    // engine sets. Set once, before start().
    bool russian = qz4::use_russian();

private:
    mutable std::mutex state_mutex_; // guards status_text_, bytes_per_second_, seconds_left_
    std::wstring status_text_;
    double bytes_per_second_ = 0;
    double seconds_left_ = 0;
    std::unique_ptr<qz4::splash_display> display_; // what shows the splash; declared last, destroyed first
};
