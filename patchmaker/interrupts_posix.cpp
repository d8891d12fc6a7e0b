// POSIX: a signal handler would run on whichever thread the signal interrupts, often the
// one doing the work the handler must wait for. So the signals are blocked for the run's
// threads and one listener thread takes them with sigtimedwait. SIGINT is Ctrl+C; SIGHUP
// and SIGTERM stand for the console going away. SIGUSR1 only wakes the listener when the
// run ends, so that ending never waits out a poll interval.
#include "patchmaker/interrupts.hpp"

#include <csignal>
#include <ctime>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace qz4 {

namespace {

constexpr long poll_interval_ns = 100'000'000;
constexpr int wake_signal = SIGUSR1;

sigset_t console_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, wake_signal);
    return set;
}

} // namespace

struct console_interrupts::platform {
    sigset_t previous_mask{};
    std::atomic<bool> stop{false};
    std::thread listener;
};

console_interrupts::console_interrupts(interrupt_state& state)
    : state_(state), platform_(std::make_unique<platform>()) {
    const sigset_t set = console_signals();
    ::pthread_sigmask(SIG_BLOCK, &set, &platform_->previous_mask);
    platform_->listener = std::thread([this, set] {
        const timespec interval{0, poll_interval_ns};
        while (!platform_->stop) {
            const int signal = ::sigtimedwait(&set, nullptr, &interval);
            if (signal == SIGINT)
                state_.handle(console_signal::interrupt);
            if (signal == SIGHUP || signal == SIGTERM)
                state_.handle(console_signal::closed);
        }
    });
}

console_interrupts::~console_interrupts() {
    if (state_.signal_received()) {
        // The listener is ending the process with the signal's exit code.
        for (;;)
            ::pause();
    }
    platform_->stop = true;
    // Blocked everywhere, it stays pending until the listener takes it, even if sent before the
    // listener is back in sigtimedwait.
    ::pthread_kill(platform_->listener.native_handle(), wake_signal);
    platform_->listener.join();
    const sigset_t set = console_signals();
    const timespec no_wait{0, 0};
    while (::sigtimedwait(&set, nullptr, &no_wait) > 0) {
    }
    ::pthread_sigmask(SIG_SETMASK, &platform_->previous_mask, nullptr);
}

} // namespace qz4
