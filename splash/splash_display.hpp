// The part of the splash that talks to the screen, one implementation per operating system.
#pragma once

#include <chrono>
#include <memory>

class CSplashWnd;

namespace qz4 {

inline constexpr std::chrono::milliseconds splash_ready_timeout{15000};
inline constexpr std::chrono::milliseconds splash_shutdown_timeout{15000};

class splash_display {
public:
    virtual ~splash_display() = default;
    // Starts the display's thread and waits up to `ready_timeout` for it to show (the wait
    // also ends when the thread gives up). False when nothing is shown.
    virtual bool start(std::chrono::milliseconds ready_timeout) = 0;
    // Called after the splash's state changed; the display redraws on its own thread.
    virtual void request_repaint() = 0;
};

// Prepares the display for `splash` (nothing is shown before start()). Destroying it ends
// the display and joins its thread.
[[nodiscard]] std::unique_ptr<splash_display> create_splash_display(CSplashWnd& splash);

} // namespace qz4
