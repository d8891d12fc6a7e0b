// The publisher stopping a run: Ctrl+C ("Interrupted!") or the console going away
// ("Closed!"). The run finishes the files at hand and saves what it has; only then does the
// process end, with exit code 1 for an interrupt and 2 for a closed console.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

namespace qz4 {

enum class console_signal { interrupt, closed };

// State shared between the run and whichever thread receives the signal.
class interrupt_state {
public:
    explicit interrupt_state(std::FILE* output) : output_(output) {}

    std::atomic<bool> terminate_requested{false};

    // The run has saved what it saves: a pending signal may end the process now.
    void set_finished();
    // The run returned without finishing (nothing more will be saved): a signal that
    // arrives now ends the process at once instead of waiting for ever.
    void set_abandoned();

    // What a signal does: tell the publisher, ask the run to stop, wait until it has saved
    // its work (or gave up), then end the process. Never returns.
    [[noreturn]] void handle(console_signal signal);

    [[nodiscard]] bool signal_received() const { return signal_received_; }

private:
    std::FILE* output_;
    std::atomic<bool> signal_received_{false};
    std::mutex mutex_; // guards done_
    std::condition_variable changed_;
    bool done_ = false;
};

// Routes the console signals to `state` for the lifetime of the object (one per run; the
// run's worker threads must be started after it). If a signal arrived, the destructor
// never returns: the signal's handler ends the process with its exit code.
class console_interrupts {
public:
    explicit console_interrupts(interrupt_state& state);
    ~console_interrupts();
    console_interrupts(const console_interrupts&) = delete;
    console_interrupts& operator=(const console_interrupts&) = delete;

private:
    struct platform; // defined by the operating system's half
    interrupt_state& state_;
    std::unique_ptr<platform> platform_;
};

} // namespace qz4
