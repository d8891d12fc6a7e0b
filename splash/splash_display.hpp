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
    // Called after the splash's state changed; the display redraws on its own thread.
    virtual void request_repaint() = 0;
};

// Starts showing `splash` and waits up to `ready_timeout` for the display to be visible.
// Null when there is nothing that could be shown (the start-up goes on without a display).
// The display ends, and its thread is joined, when the returned object is destroyed.
[[nodiscard]] std::unique_ptr<splash_display> start_splash_display(CSplashWnd& splash,
                                                                   std::chrono::milliseconds ready_timeout);

} // namespace qz4
