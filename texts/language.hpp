// The system's default language as a Windows language identifier.
#pragma once

#include <cstdint>
#include <string_view>

namespace qz4 {

// Asks the operating system (once per call; system_lang_id() caches the answer).
[[nodiscard]] std::uint16_t query_system_language();

// Maps a POSIX locale name ("ru_RU.UTF-8", "uk", "C") to a language identifier:
// ru, uk and be to their Windows identifiers, anything else to English (0x0409).
[[nodiscard]] std::uint16_t language_id_from_locale_name(std::string_view locale);

} // namespace qz4
