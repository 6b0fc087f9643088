// The preview's geometry as tables. Every expected value is worked out by hand from the rules (pan,
// zoom, rounding half away from zero), never with the code's own helpers.
#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "plugin/preview-geometry.h"
#include "resource.h"
#include "win-common.h"

namespace {

using tessolux::preview_rect;
using tessolux::view_state;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr std::int32_t int_max = std::numeric_limits<std::int32_t>::max();

std::string text(const preview_rect& r) {
    return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
           std::to_string(r.height);
}

TEST(preview_geometry, rounding_goes_half_away_from_zero_and_saturates) {
    const struct {
        double value;
        std::int32_t expected;
    } cases[] = {{0.5, 1}, {-0.5, -1}, {-1.5, -2}, {3e9, int_max}, {-3e9, -int_max - 1}, {nan, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(tessolux::round_to_int(c.value), c.expected) << c.value;
}

TEST(preview_geometry, rectangles_intersect_in_signed_order_without_wrapping) {
    // Read unsigned, x -5 is the largest there is and nothing overlaps; signed, they share 5 x 5.
    EXPECT_EQ(text(tessolux::intersect_rect({-5, -5, 10, 10}, {0, 0, 100, 100})), "-5,-5 0x0");
    EXPECT_EQ(text(tessolux::intersect_signed_rect({-5, -5, 10, 10}, {0, 0, 100, 100})), "0,0 5x5");
    // Biased by 0x80000000 the first right edge would wrap past 32 bits.
    EXPECT_EQ(text(tessolux::intersect_signed_rect({2147483000, 0, 2000, 10}, {0, 0, int_max, 10})),
              "2147483000,0 647x10");
}

TEST(preview_geometry, a_strip_is_scaled_by_double_ratios_and_an_overhang_never_gives_a_negative_length) {
    // Image rectangle {10, 20, 40, 20} shown in 100 x 50 view pixels: 2.5 view pixels per image pixel.
    const struct {
        preview_rect line;
        bool vertical;
        const char* expected;
    } cases[] = {
        {{30, 20, 0, 20}, true, "50,0 1x50"},
        {{5, 30, 20, 0}, false, "0,25 37x1"}, // starts 12.5 view pixels left: shortened by 13
        {{5, 20, 0, 20}, true, "0,0 0x50"},   // left of the space: no thickness
        // Overhangs longer than the line: length 0, not a negative one read as a huge one.
        {{20, 10, 0, 4}, true, "25,0 1x0"},
        {{0, 25, 6, 0}, false, "0,13 0x1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text(tessolux::scale_rect_to_view(c.line, {10, 20, 40, 20}, {7, 9, 100, 50}, c.vertical)),
                  c.expected)
            << text(c.line);
}

TEST(preview_geometry, the_view_maps_to_the_shown_image_part_also_cut_to_the_canvas) {
    const struct {
        std::int32_t vw, vh;
        double pan_x, pan_y, zoom;
        std::int32_t iw, ih, most;
        const char* view;
        const char* image;
    } cases[] = {
        {960, 720, 80, 60, 0.5, 1200, 800, 4096, "80,60 600x400", "0,0 1200x800"},
        {960, 720, -700, 0, 0.5, 1200, 800, 4096, "0,0 0x400", "1400,0 0x800"}, // panned out
        // Pans round to -37 and -13: 37 / 3.7 = 10, 13 / 3.7 = 3.5, 300 / 3.7 = 81.1, 200 / 3.7 = 54.1.
        {300, 200, -37.3, -12.6, 3.7, 100, 80, 4096, "0,0 300x200", "10,4 81x54"},
        // Pans round to 51 and 20; 149 x 130 view pixels are 372.5 x 325 image pixels.
        {200, 150, 50.5, 20.49, 0.4, 1000, 500, 4096, "51,20 149x130", "0,0 373x325"},
        // A canvas of 100 x 100 holds only part of the 300 x 200 the viewport shows.
        {300, 200, -50, -20, 2.0, 400, 300, 100, "0,0 100x100", "25,10 50x50"},
        {300, 200, 10, 5, 1.0, 400, 300, 100, "10,5 100x100", "0,0 100x100"},
    };
    for (const auto& c : cases) {
        const tessolux::view_mapping shown =
            tessolux::map_view_to_image(c.vw, c.vh, c.pan_x, c.pan_y, c.zoom, c.iw, c.ih, c.most, c.most);
        EXPECT_EQ(text(shown.view), c.view) << c.pan_x << " " << c.zoom;
        EXPECT_EQ(text(shown.image), c.image) << c.pan_x << " " << c.zoom;
    }
}

TEST(preview_geometry, view_points_left_of_the_image_go_negative_and_the_view_spreads_over_the_image) {
    // Viewport at client (8, 8); the 100 x 80 image at zoom 2 starts at client (108, 58).
    const preview_rect viewport{8, 8, 300, 200};
    const view_state zoomed{100, 50, 2.0};
    const struct {
        std::int32_t x, expected;
    } cases[] = {{108, 0}, {109, 0}, {110, 1}, {107, -1}, {106, -2}}; // -0.5 and a whole -1.0
    for (const auto& c : cases)
        EXPECT_EQ(tessolux::view_to_image_point(viewport, zoomed, 100, 80, c.x, 58).x, c.expected) << c.x;
    // Panned wholly out: pan and zoom map directly, (10 + 500) / 2.
    EXPECT_EQ(tessolux::view_to_image_point({0, 0, 300, 200}, {-500, 0, 2.0}, 100, 80, 10, 10).x, 255);

    // At zoom 0.4 view columns 51 to 199 show image columns 0 to 372: every one lands inside, the last at
    // 148 x 373 / 149 = 370.5.
    const view_state out{50.5, 20.49, 0.4};
    for (std::int32_t x = 51; x != 200; ++x) {
        const std::int32_t column = tessolux::view_to_image_point({0, 0, 200, 150}, out, 1000, 500, x, 100).x;
        ASSERT_TRUE(column >= 0 && column < 373) << x << " -> " << column;
    }
    EXPECT_EQ(tessolux::view_to_image_point({0, 0, 200, 150}, out, 1000, 500, 199, 100).x, 370);
}

TEST(preview_geometry, zooming_keeps_the_point_in_place_within_the_zoom_range) {
    const struct {
        view_state before;
        double x, y, factor;
        double zoom, pan_x, pan_y;
    } cases[] = {
        {{0, 0, 1.0}, 100, 100, 2.0, 2.0, -100, -100},
        // 0.0002 is clamped: the pan moves by the clamped ratio 0.001 / 0.002 only.
        {{10, 20, 0.002}, 110, 220, 0.1, 0.001, 60, 120},
        {{0, 0, 500}, 50, 40, 3.0, 1000, -50, -40},
        {{0, 0, 1.0}, 1000, 0, nan, 0.001, 999, 0},
    };
    for (const auto& c : cases) {
        view_state view = c.before;
        tessolux::zoom_at(view, c.x, c.y, c.factor);
        EXPECT_EQ(view.zoom, c.zoom) << c.factor;
        EXPECT_DOUBLE_EQ(view.pan_x, c.pan_x) << c.factor;
        EXPECT_DOUBLE_EQ(view.pan_y, c.pan_y) << c.factor;
    }
}

TEST(preview_geometry, the_fit_toggles_back_and_leaves_an_empty_viewport_alone) {
    view_state view{5, 7, 1.0};
    // min(960 / 6000, 720 / 4000) = 0.16: 960 x 640 view pixels, centred; then back.
    ASSERT_TRUE(tessolux::zoom_to_fit(view, 960, 720, 6000, 4000));
    EXPECT_DOUBLE_EQ(view.zoom, 0.16);
    EXPECT_DOUBLE_EQ(view.pan_y, 40);
    ASSERT_TRUE(tessolux::zoom_to_fit(view, 960, 720, 6000, 4000));
    EXPECT_EQ(view.zoom, 1.0);
    EXPECT_EQ(view.pan_x, 5);
    EXPECT_EQ(view.pan_y, 7);

    const struct {
        std::int32_t vw, vh, iw, ih;
        bool changed;
        double zoom, pan_x;
    } cases[] = {
        {0, 0, 600, 400, false, 1.0, 5}, // a minimised window: no zoom 0, no NaN pans
        {960, 720, 0, 0, false, 1.0, 5}, // no frame
        {2000, 1500, 1, 1, true, 1000, 500},
        {10, 10, 65535, 65535, true, 0.001, -27.7675},
    };
    for (const auto& c : cases) {
        view_state v{5, 7, 1.0};
        EXPECT_EQ(tessolux::zoom_to_fit(v, c.vw, c.vh, c.iw, c.ih), c.changed) << c.vw << " " << c.iw;
        EXPECT_EQ(v.zoom, c.zoom) << c.vw << " " << c.iw;
        EXPECT_DOUBLE_EQ(v.pan_x, c.pan_x) << c.vw << " " << c.iw;
    }
}

TEST(preview_geometry, the_view_information_shows_the_zoom_in_per_cent_with_one_decimal) {
    std::wstring pattern;
    system_ui::load_string(pattern, GetModuleHandleW(nullptr), IDS_VIEW_INFO);
    const std::wstring head =
        L"Visible Position:\t12,  34\r\nVisible Dimensions:\t560  \u00d7  780\r\nZoom:\t";
    EXPECT_EQ(tessolux::format_view_info(pattern, {12, 34, 560, 780}, 1.375), head + L"137.5 %");
    EXPECT_EQ(tessolux::format_view_info(pattern, {12, 34, 560, 780}, 1.0 / 3.0), head + L"33.3 %");
}

} // namespace
