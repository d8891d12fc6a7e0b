// Windows: the C runtime calls SIGINT and SIGBREAK handlers on its console-control thread,
// so a handler may simply wait there for the run to save its work.
#include "patchmaker/interrupts.hpp"

#include <windows.h>

#include <csignal>

namespace qz4 {

namespace {

std::atomic<interrupt_state*> active_state{nullptr};

void __cdecl on_console_interrupt(int) {
    if (interrupt_state* state = active_state.load())
        state->handle(console_signal::interrupt);
}

void __cdecl on_console_break(int) {
    if (interrupt_state* state = active_state.load())
        state->handle(console_signal::closed);
}

} // namespace

struct console_interrupts::platform {};

console_interrupts::console_interrupts(interrupt_state& state)
    : state_(state), platform_(std::make_unique<platform>()) {
    active_state = &state;
    std::signal(SIGINT, &on_console_interrupt);
    std::signal(SIGBREAK, &on_console_break);
}

console_interrupts::~console_interrupts() {
    if (state_.signal_received()) {
        // The handler is ending the process with the signal's exit code.
        for (;;)
            Sleep(INFINITE);
    }
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGBREAK, SIG_DFL);
    active_state = nullptr;
}

} // namespace qz4
