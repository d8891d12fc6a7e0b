#include "fuzz/allocation_meter.hpp"

#include <sanitizer/allocator_interface.h>

#include <cstdint>
#include <mutex>

namespace qz4::fuzz {

namespace {

// Only the measuring thread touches these while it measures; the hooks of other threads
// (libFuzzer's own) return at the thread_local test.
thread_local bool measuring = false;
thread_local std::int64_t held = 0;
thread_local std::int64_t peak = 0;

void on_malloc(const volatile void* /*pointer*/, std::size_t size) {
    if (!measuring)
        return;
    held += static_cast<std::int64_t>(size);
    if (held > peak)
        peak = held;
}

void on_free(const volatile void* pointer) {
    if (!measuring || pointer == nullptr)
        return;
    // Called before the block is released, so its size is still known.
    held -= static_cast<std::int64_t>(__sanitizer_get_allocated_size(const_cast<const void*>(pointer)));
}

void install_hooks() {
    static std::once_flag once;
    std::call_once(once, [] { __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free); });
}

} // namespace

allocation_meter::allocation_meter() {
    install_hooks();
    held = 0;
    peak = 0;
    measuring = true;
}

allocation_meter::~allocation_meter() {
    measuring = false;
}

std::size_t allocation_meter::peak_bytes() const {
    return static_cast<std::size_t>(peak);
}

} // namespace qz4::fuzz
