#include "splash/figures_layout.hpp"

namespace qz4 {

namespace {

// The widest figures that fit into `room` pixels, or none.
figures_part widest_fitting(const figures_layout_input& input, int room) {
    if (input.figures_width > input.rate_width && input.figures_width <= room)
        return figures_part::rate_and_time;
    return input.rate_width <= room ? figures_part::rate : figures_part::none;
}

int width_of(const figures_layout_input& input, figures_part part) {
    return part == figures_part::rate_and_time ? input.figures_width : input.rate_width;
}

// `part` at `left`, `top` when it stays clear of the close mark; else nothing.
figures_place clear_of_close_mark(const figures_layout_input& input, figures_part part, int left, int top) {
    const pixel_box box{left, top, left + width_of(input, part), top + input.line_height};
    if (part == figures_part::none || box.overlaps(input.close_mark))
        return {};
    return {part, left, top};
}

// Between the status text and the site label, flush against the label (or where it would
// end): the label never moves, so the figures do not jump while the percentage grows.
figures_place beside_status(const figures_layout_input& input) {
    const int right_edge = input.picture_width - input.site_right_margin;
    const int free_right = input.site_width > 0 ? right_edge - input.site_width - figures_gap : right_edge;
    const int free_left =
        input.status_width > 0 ? input.status_left + input.status_width + figures_gap : input.status_left;
    const figures_part part = widest_fitting(input, free_right - free_left);
    return clear_of_close_mark(input, part, free_right - width_of(input, part), input.line_top);
}

// The line above the status, left-aligned with it: free of every text, though on a picture
// low enough it would reach the close mark.
figures_place above_status(const figures_layout_input& input) {
    const int top = input.line_top - input.line_height;
    if (top < 0)
        return {};
    const int room = input.picture_width - input.site_right_margin - input.status_left;
    return clear_of_close_mark(input, widest_fitting(input, room), input.status_left, top);
}

} // namespace

figures_place place_figures(const figures_layout_input& input) {
    if (input.rate_width <= 0 || input.line_height <= 0)
        return {};
    if (const figures_place beside = beside_status(input); beside.part != figures_part::none)
        return beside;
    return above_status(input);
}

} // namespace qz4
