// The splash drawn as one terminal line: status text at the left, the site label at the
// right edge, and the progress bar just before it, followed by the transfer's figures.
#pragma once

#include "splash/transfer_figures.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace qz4 {

// Exactly `columns` - 1 characters (the last column stays free so the terminal never
// wraps), in UTF-8. The status text is cut when the line is too narrow. The figures show
// only beside a bar, and only where they leave the status whole: the time left goes first,
// then the rate; with figures shown the site label also gives way to the status.
[[nodiscard]] std::string render_status_line(const std::wstring& status, std::uint32_t progress_value,
                                             std::uint32_t progress_total, const std::wstring& site_label,
                                             std::size_t columns, const transfer_figures_text& figures = {});

} // namespace qz4
