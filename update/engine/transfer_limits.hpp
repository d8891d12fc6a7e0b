// How many transfers the download stage runs at once: the default, and the most a player may
// ask for. The command line reads them without the engine, so they stand alone.
#pragma once

#include <cstdint>

namespace qz4 {

// Transfers of the download stage at once, unless the command line says otherwise.
inline constexpr std::uint32_t default_connections = 4;
// The most "-connections=N" may ask for.
inline constexpr std::uint32_t max_connections = 16;

} // namespace qz4
