// Fresh product identifiers for the publisher's configuration.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace qz4 {

struct guid_value {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4{};
};

// A new random GUID from the system's generator (version 4 where we make it ourselves).
[[nodiscard]] guid_value new_guid();

// 36 characters: lower-case hex in groups of 8, 4, 4, 4 and 12 digits separated by '-';
// the first three groups are data1..data3, the last two the eight bytes of data4 in order.
[[nodiscard]] std::string guid_text(const guid_value& guid);

[[nodiscard]] inline std::string new_guid_text() {
    return guid_text(new_guid());
}

} // namespace qz4
