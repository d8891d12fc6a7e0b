// A reusable byte buffer: its storage only grows, so one buffer serves a whole run of files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qz4 {

struct byte_buffer {
    std::vector<std::uint8_t> storage; // capacity; never shrunk by the readers
    std::size_t length = 0;            // bytes of valid content at the front of storage
    std::size_t position = 0;          // read position inside the content

    void ensure_capacity(std::size_t size) {
        if (storage.size() < size)
            storage.resize(size);
    }
    [[nodiscard]] const std::uint8_t* data() const { return storage.data(); }
    [[nodiscard]] std::uint8_t* data() { return storage.data(); }
};

} // namespace qz4
