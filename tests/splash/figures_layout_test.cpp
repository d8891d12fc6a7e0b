#include "splash/figures_layout.hpp"

#include <gtest/gtest.h>

namespace qz4 {
namespace {

// The window's picture and font: status at 9, the line at 280, 17 pixels high, the close mark
// with the area around it that reacts to the pointer.
figures_layout_input splash_with(int status_width, int site_width, int rate_width, int figures_width) {
    figures_layout_input input;
    input.picture_width = 550;
    input.line_top = 280;
    input.line_height = 17;
    input.status_left = 9;
    input.status_width = status_width;
    input.site_width = site_width;
    input.site_right_margin = 9;
    input.rate_width = rate_width;
    input.figures_width = figures_width;
    input.close_mark = {526, 0, 544, 24};
    return input;
}

TEST(FiguresLayout, BesideTheStatusWhereThereIsRoomElseTheRateElseTheLineAbove) {
    constexpr auto none = figures_part::none;
    constexpr auto rate = figures_part::rate;
    constexpr auto both = figures_part::rate_and_time;
    struct row {
        const char* what;
        figures_layout_input input;
        figures_place expected;
    };
    // The site label of 148 starts at 393; the figures end 14 before it, at 379.
    const row rows[] = {
        {"English status", splash_with(185, 148, 70, 140), {both, 239, 280}},
        {"exactly the room between the gaps", splash_with(185, 148, 70, 171), {both, 208, 280}},
        {"one pixel short: the rate alone", splash_with(185, 148, 70, 172), {rate, 309, 280}},
        {"long Russian status", splash_with(260, 148, 75, 170), {rate, 304, 280}},
        {"status leaves no room for the rate", splash_with(330, 148, 75, 170), {both, 9, 263}},
        {"long site label", splash_with(185, 300, 75, 170), {both, 9, 263}},
        {"no site label: up to the margin", splash_with(185, 0, 70, 140), {both, 401, 280}},
        {"no status: from the status's left", splash_with(0, 148, 70, 370), {both, 9, 280}},
        {"no time left known", splash_with(185, 148, 70, 70), {rate, 309, 280}},
        {"only the rate fits even above", splash_with(330, 148, 200, 540), {rate, 9, 263}},
        {"huge figures: nowhere", splash_with(185, 148, 560, 600), {}},
        {"no rate", splash_with(185, 148, 0, 0), {}},
        {"a time without a rate", splash_with(185, 148, 0, 90), {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const figures_place place = place_figures(r.input);
        EXPECT_EQ(place.part, r.expected.part);
        if (r.expected.part == none)
            continue;
        EXPECT_EQ(place.left, r.expected.left);
        EXPECT_EQ(place.top, r.expected.top);
        // Whatever the rule, the figures keep clear of both texts, the close mark and the edges.
        const figures_layout_input& in = r.input;
        const int width = place.part == both ? in.figures_width : in.rate_width;
        const pixel_box figures{place.left, place.top, place.left + width, place.top + in.line_height};
        const int site_left = in.picture_width - in.site_right_margin - in.site_width;
        const pixel_box status{in.status_left, in.line_top, in.status_left + in.status_width + figures_gap,
                               in.line_top + in.line_height};
        const pixel_box site{site_left - figures_gap, in.line_top, site_left + in.site_width,
                             in.line_top + in.line_height};
        EXPECT_FALSE(in.status_width > 0 && figures.overlaps(status));
        EXPECT_FALSE(in.site_width > 0 && figures.overlaps(site));
        EXPECT_FALSE(figures.overlaps(in.close_mark));
        EXPECT_GE(figures.left, in.status_left);
        EXPECT_LE(figures.right, in.picture_width - in.site_right_margin);
    }
}

TEST(FiguresLayout, NeverUnderTheCloseMarkNorAboveThePicture) {
    // A picture so low that the line above the status reaches the close mark's corner.
    figures_layout_input low = splash_with(330, 148, 75, 530);
    low.line_top = 20;
    low.close_mark = {500, 0, 550, 30};
    EXPECT_EQ(place_figures(low).part, figures_part::none);
    low.figures_width = 400; // ends before the mark
    EXPECT_EQ(place_figures(low).part, figures_part::rate_and_time);
    low.line_top = 16; // no line above it at all
    EXPECT_EQ(place_figures(low).part, figures_part::none);
}

} // namespace
} // namespace qz4
