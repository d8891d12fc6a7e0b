// The launcher's splash: status line, progress bar and site label, shown while the update
// runs. Closing it is the player's way to cancel.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class CSplashWnd {
public:
    CSplashWnd();
    ~CSplashWnd();
    CSplashWnd(const CSplashWnd&) = delete;
    CSplashWnd& operator=(const CSplashWnd&) = delete;

    // Starts the display and waits until it shows (or gives up after 15 seconds).
    void start();

    // May be called from any thread.
    void set_status_text(const std::wstring& text);
    [[nodiscard]] std::wstring status_text() const;

    // Written by the update engine's threads; a total of 0 hides the bar.
    std::atomic<std::uint32_t> progress_value{0};
    std::atomic<std::uint32_t> progress_total{0};
    // Set when the player closed the splash (or shutdown began).
    std::atomic<bool> closed{false};
    // Set once before start().
    std::wstring site_label;

private:
    mutable std::mutex text_mutex_; // guards status_text_
    std::wstring status_text_;
};
