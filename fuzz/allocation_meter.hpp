// Measures the most heap memory held at once by a piece of code on the calling thread,
// through the sanitizer allocator's hooks: the proof that the decoder keeps to its limit.
#pragma once

#include <cstddef>

namespace qz4::fuzz {

// Counts what the calling thread allocates and frees while the meter exists. One at a time.
class allocation_meter {
public:
    allocation_meter();
    ~allocation_meter();
    allocation_meter(const allocation_meter&) = delete;
    allocation_meter& operator=(const allocation_meter&) = delete;

    // The largest amount of memory allocated since construction and not yet freed.
    [[nodiscard]] std::size_t peak_bytes() const;
};

} // namespace qz4::fuzz
