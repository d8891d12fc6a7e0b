// Windows: the system default language (not the user's interface language).
#include "texts/language.hpp"

#include <windows.h>

namespace qz4 {

std::uint16_t query_system_language() {
    return ::GetSystemDefaultLangID();
}

} // namespace qz4
