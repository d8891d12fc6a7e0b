// A sink that keeps what it takes in memory, for tests that look at a body.
#pragma once

#include "common/byte_sink.hpp"

#include <string>

namespace qz4::test {

class memory_sink final : public byte_sink {
public:
    bool write(const void* data, std::size_t size) override {
        text.append(static_cast<const char*>(data), size);
        return true;
    }
    std::string text;
};

} // namespace qz4::test
