#include "patchmaker/interrupts.hpp"

#include <cstdlib>

namespace qz4 {

void interrupt_state::set_finished() {
    std::lock_guard lock(mutex_);
    done_ = true;
    changed_.notify_all();
}

void interrupt_state::set_abandoned() {
    set_finished();
}

void interrupt_state::handle(console_signal signal) {
    signal_received_ = true;
    std::fputs(signal == console_signal::interrupt ? "Interrupted! Terminating threads...\n"
                                                   : "Closed! Terminating threads...\n",
               output_);
    std::fflush(output_);
    terminate_requested = true;
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return done_; });
    }
    std::fflush(output_);
    std::exit(signal == console_signal::interrupt ? 1 : 2);
}

} // namespace qz4
