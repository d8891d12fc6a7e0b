#include "texts/language.hpp"

#include "common/ascii_text.hpp"

namespace qz4 {

std::uint16_t language_id_from_locale_name(std::string_view locale) {
    const std::size_t end = locale.find_first_of("_.@-");
    const std::string language = to_lower(locale.substr(0, end));
    if (language == "ru")
        return 0x0419;
    if (language == "uk")
        return 0x0422;
    if (language == "be")
        return 0x0423;
    return 0x0409;
}

} // namespace qz4
