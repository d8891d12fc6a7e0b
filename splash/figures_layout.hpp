// Where the download's rate and time left go on the splash picture. The window measures its
// texts and asks here, so that the rule is tested without a screen: beside the status line
// when there is room between the status text and the site label, else the rate alone there,
// else on the line above the status; never over another text or the close mark.
#pragma once

namespace qz4 {

// A box in picture pixels: [left, right) x [top, bottom).
struct pixel_box {
    int left = 0, top = 0, right = 0, bottom = 0;
    [[nodiscard]] bool overlaps(const pixel_box& other) const {
        return left < other.right && other.left < right && top < other.bottom && other.top < bottom;
    }
};

// What the window measured, in whole pixels (rounded up).
struct figures_layout_input {
    int picture_width = 0;
    int line_top = 0;    // top of the status line, which the site label shares
    int line_height = 0; // of one line of text in the splash's font
    int status_left = 0;
    int status_width = 0; // 0: no status text
    int site_width = 0;   // 0: no site label
    int site_right_margin = 0;
    int rate_width = 0;    // 0 or less: no figures to place
    int figures_width = 0; // the rate and the time left together; the rate's width without a time
    pixel_box close_mark;  // with the area the pointer makes it react in
};

enum class figures_part {
    none,          // nothing is drawn
    rate,          // the rate alone
    rate_and_time, // the rate and the time left
};

struct figures_place {
    figures_part part = figures_part::none;
    int left = 0; // where the text's box starts, as the status text's starts at status_left
    int top = 0;
};

// The empty space kept between the figures and each text beside them.
inline constexpr int figures_gap = 14;

[[nodiscard]] figures_place place_figures(const figures_layout_input& input);

} // namespace qz4
