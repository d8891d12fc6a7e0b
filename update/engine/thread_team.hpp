// The stages' way of running one body on several threads: the caller's thread is one of them,
// so a stage that gets no thread from the system still does its work.
#pragma once

#include <cstdint>
#include <functional>

namespace qz4 {

// Runs `body` on `count` threads at once (at least one: the caller's) and returns once every
// one has ended. Threads the system refuses, or has no memory for, are done without: those
// already started carry the work. `body` must not throw.
void run_on_threads(std::uint32_t count, const std::function<void()>& body);

} // namespace qz4
