#include "splash/progress_bar.hpp"

#include <algorithm>

namespace qz4 {

std::uint32_t progress_bar_width(std::uint32_t value, std::uint32_t total, std::uint32_t full_width,
                                 std::uint32_t minimum) {
    if (total == 0)
        return 0;
    const float fraction = static_cast<float>(std::min(value, total)) / static_cast<float>(total);
    const auto width = static_cast<std::uint32_t>(fraction * static_cast<float>(full_width));
    return std::max(width, minimum);
}

} // namespace qz4
