// The region tools' rules as tables, without a window; every expected value worked out by hand.
#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "plugin/region-rules.h"

namespace {

using namespace tessolux::main_window;
using tessolux::image_point;
using tessolux::preview_rect;

constexpr std::int32_t int_min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t int_max = std::numeric_limits<std::int32_t>::max();
constexpr std::uint32_t left = resizing_left, right = resizing_right, top = resizing_top,
                        bottom = resizing_bottom;

std::string text(const preview_rect& r) {
    return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
           std::to_string(r.height);
}

TEST(region_rules, a_band_or_a_move_stays_inside_the_image) {
    EXPECT_EQ(text(rubber_band_rect({30, 40}, {10, 5}, 200, 100)), "10,5 20x35");
    EXPECT_EQ(text(rubber_band_rect({int_min, -10}, {int_max, 150}, 200, 100)), "0,0 200x100");
    EXPECT_EQ(text(rubber_band_rect({300, 10}, {400, 50}, 200, 100)), "200,10 0x40"); // empty, corner inside
    EXPECT_EQ(text(middle_third(200, 100)), "66,33 66x33");
    const preview_rect start{50, 20, 40, 30};
    EXPECT_EQ(text(move_focus_rect(start, 10, 5, 200, 100)), "60,25 40x30");
    EXPECT_EQ(text(move_focus_rect(start, -100, 500, 200, 100)), "0,70 40x30");
    EXPECT_EQ(text(move_focus_rect(start, 5'000'000'000, 0, 200, 100)), "160,20 40x30");
}

TEST(region_rules, a_border_stops_one_pixel_before_the_opposite_one_and_at_the_image_edge) {
    const struct {
        preview_rect start;
        std::uint32_t borders;
        std::int64_t dx, dy;
        bool shift;
        const char* expected;
    } cases[] = {
        {{50, 20, 40, 30}, left, 15, 99, false, "65,20 25x30"},
        {{50, 20, 40, 30}, left, 100, 0, false, "89,20 1x30"},
        {{50, 20, 40, 30}, left, -80, 0, false, "0,20 90x30"},
        {{50, 20, 40, 30}, right, 500, 0, false, "50,20 150x30"},
        {{50, 20, 40, 30}, top, 0, 50, false, "50,49 40x1"},
        {{50, 20, 40, 30}, bottom, 0, 500, false, "50,20 40x180"},
        {{50, 20, 40, 30}, left | top, -1'000'000'000'000, -1'000'000'000'000, false, "0,0 90x50"},
        // With Shift a corner follows the starting ratio: 60 x 22 is cut back to 2 x 22 = 44 wide ...
        {{10, 10, 40, 20}, right | bottom, 20, 2, true, "10,10 44x22"},
        {{10, 10, 40, 20}, right | bottom, 20, 2, false, "10,10 60x22"},
        // ... and 41 x 50 to 41 / 2 = 20.5 high, rounded away from zero.
        {{10, 10, 40, 20}, right | bottom, 1, 30, true, "10,10 41x21"},
        // 5 x 1 would want a height of 0.5, 10 x 100 down to 5 x 1 a width of 0.1: both stay 1.
        {{50, 50, 100, 10}, left | top, 95, 95, true, "145,59 5x1"},
        {{10, 10, 10, 100}, left | top, 5, 99, true, "19,109 1x1"},
        // Stopped by the image's right edge, the height follows the width.
        {{150, 10, 40, 20}, right | bottom, 30, 20, true, "150,10 50x25"},
        {{10, 10, 40, 20}, right, 20, 5, true, "10,10 60x20"}, // a side is no corner
    };
    for (const auto& c : cases)
        EXPECT_EQ(text(resize_focus_rect(c.start, c.borders, c.dx, c.dy, c.shift, 200, 200)), c.expected)
            << text(c.start) << " " << std::hex << c.borders << std::dec << " by " << c.dx << "," << c.dy;
}

TEST(region_rules, handles_lie_within_reach_of_the_drawn_borders_and_pick_the_cursor) {
    // The 200 x 100 image at zoom 2: the focused 40 x 30 at (50, 20) has its borders on view columns 100
    // and 180 and rows 40 and 100. Panned, image columns from 60 on show and the left border is hidden.
    const tessolux::view_mapping whole{{20, 10, 400, 200}, {0, 0, 200, 100}};
    const tessolux::view_mapping panned{{0, 0, 280, 200}, {60, 0, 140, 100}};
    const struct {
        const tessolux::view_mapping& shown;
        std::int32_t x, y;
        bool control;
        std::uint32_t hover;
        tool_cursor cursor;
    } cases[] = {
        {whole, 97, 70, false, left, tool_cursor::size_we},
        {whole, 103, 70, false, left, tool_cursor::size_we},
        {whole, 104, 70, false, 0, tool_cursor::arrow},
        {whole, 140, 70, false, 0, tool_cursor::arrow},
        {whole, 140, 102, false, bottom, tool_cursor::size_ns},
        {whole, 100, 40, false, left | top, tool_cursor::size_nwse},
        {whole, 182, 102, false, right | bottom, tool_cursor::size_nwse},
        {whole, 100, 102, false, left | bottom, tool_cursor::size_nesw},
        {whole, 180, 40, false, right | top, tool_cursor::size_nesw},
        {whole, 182, 102, true, moving_focus, tool_cursor::size_all},
        {panned, 0, 70, false, 0, tool_cursor::arrow},
        {panned, 60, 70, false, right, tool_cursor::size_we},
        {panned, 10, 40, false, top, tool_cursor::size_ns},
    };
    for (const auto& c : cases) {
        const border_hover hover =
            hover_for_borders(hit_focus_borders({50, 20, 40, 30}, c.shown, 3, c.x, c.y), c.control);
        EXPECT_EQ(hover.hover, c.hover) << c.x << "," << c.y;
        EXPECT_EQ(hover.cursor, c.cursor) << c.x << "," << c.y;
    }
    EXPECT_EQ(hover_for_borders(left | right | top, false).cursor, tool_cursor::size_we);
}

TEST(region_rules, a_painting_drag_adds_a_circle_past_5_pixels_or_past_500_ms) {
    constexpr std::uint64_t ms = 1'000'000;
    const struct {
        image_point a, b;
        std::uint64_t squared;
    } distances[] = {
        {{-3, 0}, {0, 4}, 25},
        {{0, 0}, {46341, 0}, 2'147'488'281}, // past the signed 32-bit range
        {{int_min, 0}, {int_max, 0}, 18'446'744'065'119'617'025ull},
        {{int_min, int_min}, {int_max, int_max}, std::numeric_limits<std::uint64_t>::max()},
    };
    for (const auto& d : distances)
        EXPECT_EQ(squared_distance(d.a, d.b), d.squared) << d.b.x << "," << d.b.y;
    const std::uint64_t last = 7'000 * ms;
    const struct {
        std::uint64_t squared, now;
        bool due;
    } cases[] = {
        {0, last, false}, {25, last + 500 * ms, false}, {25, last + 500 * ms + 1, true},
        {26, last, true}, {24, last + 499 * ms, false}, {1, last + 3'600'000 * ms, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(circle_due(c.squared, c.now, last), c.due)
            << c.squared << " after " << (c.now - last) << " ns";
    EXPECT_TRUE(circle_due(0, 2'000 * ms, 0)); // no circle added by a drag yet
    EXPECT_TRUE(brush_reaches_image({-9, 59}, 10.0, 100, 50));
    EXPECT_TRUE(brush_reaches_image({109, 0}, 10.0, 100, 50));
    EXPECT_FALSE(brush_reaches_image({-10, 0}, 10.0, 100, 50));
    EXPECT_FALSE(brush_reaches_image({50, 60}, 10.0, 100, 50));
}

} // namespace
