// Where a producer of bytes (a transfer, a decoder) puts them, so that the producer need not
// know whether they go to a file, a file behind a fault-injecting test layer, or memory.
#pragma once

#include <cstddef>

namespace qz4 {

class byte_sink {
public:
    // Takes all of the bytes or refuses them; a refusal stops the producer with its own
    // write error, and the sink keeps whatever reason it has for it.
    [[nodiscard]] virtual bool write(const void* data, std::size_t size) = 0;

protected:
    byte_sink() = default;
    ~byte_sink() = default;
    byte_sink(const byte_sink&) = default;
    byte_sink& operator=(const byte_sink&) = default;
};

} // namespace qz4
