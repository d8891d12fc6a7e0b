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

} // namespace

std::string render_status_line(const std::wstring& status, std::uint32_t progress_value,
                               std::uint32_t progress_total, const std::wstring& site_label,
                               std::size_t columns) {
    const std::size_t width = std::max(columns, narrowest_line) - 1;
    std::wstring right;
    if (progress_total != 0) {
        const std::size_t inner = std::clamp<std::size_t>(width / 4, 8, 40);
        right = render_bar(progress_value, progress_total, inner);
    }
    // The site label goes when the line is too narrow for it; the bar and status stay.
    const std::wstring site = printable(site_label);
    if (!site.empty() && right.size() + 1 + site.size() < width)
        right += (right.empty() ? L"" : L" ") + site;
    if (right.size() >= width)
        right.clear();

    std::wstring left = printable(status);
    const std::size_t room = right.empty() ? width : width - std::min(width, right.size() + 1);
    if (left.size() > room)
        left.resize(room);
    std::wstring line = left + std::wstring(width - left.size() - right.size(), L' ') + right;
    return wide_to_utf8(line);
}

} // namespace qz4
