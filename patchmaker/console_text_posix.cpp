#include "patchmaker/console_text.hpp"

#include <algorithm>

namespace qz4 {

utf8_console_output::utf8_console_output() = default;

utf8_console_output::~utf8_console_output() = default;

std::wstring shown_path(const std::wstring& path) {
    std::wstring shown = path;
    std::replace(shown.begin(), shown.end(), L'\\', L'/');
    return shown;
}

} // namespace qz4
