// POSIX: a version 4 (random) GUID from the kernel's random source.
#include "patchmaker/guid.hpp"

#include "common/system_call_posix.hpp"

#include <cstring>
#include <stdexcept>
#include <sys/random.h>

namespace qz4 {

guid_value new_guid() {
    std::uint8_t bytes[16];
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t got =
            retry_interrupted([&] { return ::getrandom(bytes + filled, sizeof bytes - filled, 0); });
        if (got <= 0)
            throw std::runtime_error("no random source for a new GUID");
        filled += static_cast<std::size_t>(got);
    }
    guid_value guid;
    guid.data1 = (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) |
                 (std::uint32_t(bytes[2]) << 8) | bytes[3];
    guid.data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
    // Version 4 in the top nibble of the third group, the RFC 4122 variant in data4[0].
    guid.data3 = static_cast<std::uint16_t>((((bytes[6] & 0x0F) | 0x40) << 8) | bytes[7]);
    std::memcpy(guid.data4.data(), bytes + 8, 8);
    guid.data4[0] = static_cast<std::uint8_t>((guid.data4[0] & 0x3F) | 0x80);
    return guid;
}

} // namespace qz4
