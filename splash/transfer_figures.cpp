#include "splash/transfer_figures.hpp"

#include "common/format.hpp"
#include "texts/player_texts.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace qz4 {

namespace {

constexpr double longest_estimate = 99.0 * 3600.0;

} // namespace

std::wstring rate_text(double bytes_per_second) {
    if (!std::isfinite(bytes_per_second) || bytes_per_second <= 0)
        return {};
    // Whole bytes, as sizes are shown; no rate comes near the top of the range.
    constexpr double largest = 1e18;
    const auto bytes = static_cast<std::uint64_t>(std::llround(std::min(bytes_per_second, largest)));
    return format_byte_size(bytes) + L"/s";
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

std::wstring joined_figures(const transfer_figures_text& figures) {
    if (figures.rate.empty() || figures.time_left.empty())
        return figures.rate;
    return figures.rate + L", " + figures.time_left;
}

} // namespace qz4
