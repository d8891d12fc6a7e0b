// POSIX: the language comes from the locale environment, in the order the C library uses.
#include "texts/language.hpp"

#include <cstdlib>

namespace qz4 {

std::uint16_t query_system_language() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0')
            return language_id_from_locale_name(value);
    }
    return 0x0409;
}

} // namespace qz4
