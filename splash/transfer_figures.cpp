#include "splash/transfer_figures.hpp"

#include "common/format.hpp"
#include "common/texts.hpp"

#include <array>
#include <cmath>

namespace qz4 {

namespace {

constexpr double longest_estimate = 99.0 * 3600.0;

} // namespace

std::wstring rate_text(double bytes_per_second) {
    if (!std::isfinite(bytes_per_second) || bytes_per_second <= 0)
        return {};
    // Bytes are whole; below 1 KiB/s a decimal would only look precise.
    if (bytes_per_second < 1023.5)
        return format_wide(L"%.0f B/s", bytes_per_second);
    constexpr std::array<const wchar_t*, 4> units = {L"KiB/s", L"MiB/s", L"GiB/s", L"TiB/s"};
    double value = bytes_per_second / 1024.0;
    std::size_t unit = 0;
    // The unit is chosen after rounding, so that 1023.97 KiB/s reads "1.0 MiB/s".
    while (value >= 1023.95 && unit + 1 < units.size()) {
        value /= 1024.0;
        ++unit;
    }
    return format_wide(L"%.1f %s", value, units[unit]);
}

std::wstring duration_text(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > longest_estimate)
        return {};
    const auto whole = static_cast<long long>(std::ceil(seconds));
    const long long hours = whole / 3600;
    const long long minutes = whole / 60 % 60;
    const long long rest = whole % 60;
    if (hours > 0)
        return format_wide(L"%lld:%02lld:%02lld", hours, minutes, rest);
    return format_wide(L"%lld:%02lld", minutes, rest);
}

transfer_figures_text describe_transfer(double bytes_per_second, double seconds_left, bool russian) {
    transfer_figures_text text;
    text.rate = rate_text(bytes_per_second);
    if (text.rate.empty())
        return text;
    const std::wstring duration = duration_text(seconds_left);
    if (!duration.empty())
        text.time_left = format_wide(text_for(text_id::time_left, russian), duration.c_str());
    return text;
}

} // namespace qz4
