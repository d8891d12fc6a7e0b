#include "update/engine/download_progress.hpp"

#include <algorithm>
#include <cmath>

namespace qz4 {

std::optional<download_progress> pass_download_progress(std::uint64_t bytes_done, double received,
                                                        std::uint64_t bytes_total) {
    if (bytes_total == 0)
        return std::nullopt;
    if (!std::isfinite(received) || received < 0)
        received = 0;
    const double fraction =
        std::clamp((static_cast<double>(bytes_done) + received) / static_cast<double>(bytes_total), 0.0, 1.0);
    download_progress progress;
    progress.bar = static_cast<std::uint32_t>(fraction * download_bar_units);
    progress.percent = static_cast<int>(fraction * 100);
    return progress;
}

} // namespace qz4
