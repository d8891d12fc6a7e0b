#include "splash/status_line.hpp"

#include "common/encoding.hpp"
#include "splash/progress_bar.hpp"

#include <algorithm>

namespace qz4 {

namespace {

constexpr std::size_t narrowest_line = 20;

// Control characters would move the cursor and break the in-place redraw.
std::wstring printable(std::wstring text) {
    std::replace_if(
        text.begin(), text.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; }, L' ');
    return text;
}

std::wstring render_bar(std::uint32_t value, std::uint32_t total, std::size_t inner) {
    const std::uint32_t filled =
        std::min<std::uint32_t>(progress_bar_width(value, total, static_cast<std::uint32_t>(inner), 1),
                                static_cast<std::uint32_t>(inner));
    return L"[" + std::wstring(filled, L'#') + std::wstring(inner - filled, L'.') + L"]";
}

// The figures that fit beside the bar without cutting a status of `status_size` characters.
std::wstring fitting_figures(const transfer_figures_text& figures, std::size_t status_size,
                             std::size_t bar_size, std::size_t width) {
    const auto fits = [&](const std::wstring& text) {
        return status_size + 1 + bar_size + 1 + text.size() <= width;
    };
    const std::wstring rate = printable(figures.rate);
    if (rate.empty())
        return {};
    const std::wstring both = printable(joined_figures(figures));
    if (fits(both))
        return both;
    return fits(rate) ? rate : std::wstring();
}

} // namespace

std::string render_status_line(const std::wstring& status, std::uint32_t progress_value,
                               std::uint32_t progress_total, const std::wstring& site_label,
                               std::size_t columns, const transfer_figures_text& figures) {
    const std::size_t width = std::max(columns, narrowest_line) - 1;
    std::wstring left = printable(status);
    std::wstring right;
    std::wstring shown_figures;
    if (progress_total != 0) {
        const std::size_t inner = std::clamp<std::size_t>(width / 4, 8, 40);
        right = render_bar(progress_value, progress_total, inner);
        shown_figures = fitting_figures(figures, left.size(), right.size(), width);
        if (!shown_figures.empty())
            right += L" " + shown_figures;
    }
    // The site label goes when the line is too narrow for it; the bar and status stay. Beside
    // figures it must also leave the status whole, which they were made to fit beside.
    const std::wstring site = printable(site_label);
    const std::size_t status_room = shown_figures.empty() ? 0 : left.size() + 1;
    if (!site.empty() && status_room + right.size() + 1 + site.size() < width)
        right += (right.empty() ? L"" : L" ") + site;
    if (right.size() >= width)
        right.clear();

    const std::size_t room = right.empty() ? width : width - std::min(width, right.size() + 1);
    if (left.size() > room)
        left.resize(room);
    std::wstring line = left + std::wstring(width - left.size() - right.size(), L' ') + right;
    return wide_to_utf8(line);
}

} // namespace qz4
