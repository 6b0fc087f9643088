// The region tools' rules as tables, without a window. Every expected value is worked out by hand from the
// rules (image pixels, view pixels at a known zoom, rounding half away from zero).
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
constexpr std::uint64_t ms = 1'000'000;

std::string text(const preview_rect& r) {
    return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
           std::to_string(r.height);
}

TEST(region_rules, a_rubber_band_takes_either_corner_first_and_stays_inside_the_image) {
    const struct {
        image_point a, b;
        const char* expected;
    } cases[] = {
        {{10, 5}, {30, 40}, "10,5 20x35"},
        {{30, 40}, {10, 5}, "10,5 20x35"},
        {{-20, -10}, {250, 150}, "0,0 200x100"}, // dragged past every edge: the whole image
        {{17, 9}, {17, 9}, "17,9 0x0"},          // a click: nothing
        {{300, 10}, {400, 50}, "200,10 0x40"},   // wholly right of the image: empty, its corner inside
        {{int_min, int_min}, {int_max, int_max}, "0,0 200x100"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text(rubber_band_rect(c.a, c.b, 200, 100)), c.expected)
            << c.a.x << "," << c.a.y << " to " << c.b.x << "," << c.b.y;
}

TEST(region_rules, an_empty_band_leaves_the_middle_third) {
    EXPECT_EQ(text(middle_third(200, 100)), "66,33 66x33");
    EXPECT_EQ(text(middle_third(96, 64)), "32,21 32x21");
    EXPECT_EQ(text(middle_third(2, 2)), "0,0 0x0");
}

TEST(region_rules, a_moved_rectangle_keeps_its_size_and_stops_at_the_edges) {
    const preview_rect start{50, 20, 40, 30};
    const struct {
        std::int64_t dx, dy;
        const char* expected;
    } cases[] = {
        {10, 5, "60,25 40x30"},
        {-100, 0, "0,20 40x30"},
        {500, 500, "160,70 40x30"},
        {-5'000'000'000, 5'000'000'000, "0,70 40x30"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text(move_focus_rect(start, c.dx, c.dy, 200, 100)), c.expected) << c.dx << "," << c.dy;
}

TEST(region_rules, a_border_never_passes_the_opposite_one_nor_the_image_edge) {
    // 40 x 30 at (50, 20) in a 200 x 100 image.
    const preview_rect start{50, 20, 40, 30};
    const struct {
        std::uint32_t borders;
        std::int64_t dx, dy;
        const char* expected;
    } cases[] = {
        {resizing_left, 15, 99, "65,20 25x30"},   // the vertical movement is not the left border's
        {resizing_left, 100, 0, "89,20 1x30"},    // past the right border: width 1
        {resizing_left, -80, 0, "0,20 90x30"},    // past the image's left edge: x 0
        {resizing_right, -100, 0, "50,20 1x30"},  // past the left border
        {resizing_right, 500, 0, "50,20 150x30"}, // to the image's right edge
        {resizing_top, 0, 50, "50,49 40x1"},      // past the bottom border
        {resizing_top, 0, -50, "50,0 40x50"},     // to the image's top edge
        {resizing_bottom, 0, 500, "50,20 40x80"}, // to the image's bottom edge
        {resizing_bottom, 0, -31, "50,20 40x1"},  // past the top border
        {resizing_right | resizing_bottom, 30, 10, "50,20 70x40"},
        {resizing_left | resizing_top, -1'000'000'000'000, -1'000'000'000'000, "0,0 90x50"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text(resize_focus_rect(start, c.borders, c.dx, c.dy, false, 200, 100)), c.expected)
            << std::hex << c.borders << std::dec << " by " << c.dx << "," << c.dy;
}

TEST(region_rules, a_shift_corner_keeps_the_ratio_and_never_reaches_zero) {
    const struct {
        preview_rect start;
        std::uint32_t borders;
        std::int64_t dx, dy;
        const char* expected;
    } cases[] = {
        // 40 x 20 grown to 60 x 22: the width grew relatively more and is cut back to 2 x 22 = 44.
        {{10, 10, 40, 20}, resizing_right | resizing_bottom, 20, 2, "10,10 44x22"},
        // 40 x 20 grown to 41 x 50: the height is cut back to 41 / 2 = 20.5, rounded away from zero.
        {{10, 10, 40, 20}, resizing_right | resizing_bottom, 1, 30, "10,10 41x21"},
        // 100 x 10 from its top-left corner by 95: 5 x 1 would want a height of 0.5 -> 0; it stays 1.
        {{50, 50, 100, 10}, resizing_left | resizing_top, 95, 95, "145,59 5x1"},
        // 10 x 100 (ratio 0.1) down to 5 x 1 would want a width of 0.1 -> 0; it stays 1.
        {{10, 10, 10, 100}, resizing_left | resizing_top, 5, 99, "19,109 1x1"},
        // Grown past the image's right edge: the width stops there and the height follows it.
        {{150, 10, 40, 20}, resizing_right | resizing_bottom, 30, 20, "150,10 50x25"},
        // A side with Shift is no corner: no ratio.
        {{10, 10, 40, 20}, resizing_right, 20, 5, "10,10 60x20"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text(resize_focus_rect(c.start, c.borders, c.dx, c.dy, true, 200, 200)), c.expected)
            << text(c.start) << " by " << c.dx << "," << c.dy;
}

TEST(region_rules, handles_lie_within_reach_of_the_borders_the_view_draws) {
    // The whole 200 x 100 image at zoom 2 in a view rectangle of 400 x 200; the focused 40 x 30 at
    // (50, 20) has its left border on view column 100, its right one on 180, top row 40, bottom row 100.
    const tessolux::view_mapping whole{{20, 10, 400, 200}, {0, 0, 200, 100}};
    // Panned: image columns from 60 on are shown, so the left border (50) lies left of the view.
    const tessolux::view_mapping panned{{0, 0, 280, 200}, {60, 0, 140, 100}};
    const preview_rect focused{50, 20, 40, 30};
    const struct {
        const tessolux::view_mapping& shown;
        std::int32_t x, y;
        std::uint32_t expected;
    } cases[] = {
        {whole, 100, 70, resizing_left},
        {whole, 97, 70, resizing_left},
        {whole, 103, 70, resizing_left},
        {whole, 96, 70, 0},
        {whole, 104, 70, 0},
        {whole, 140, 70, 0}, // inside, away from every border
        {whole, 100, 40, resizing_left | resizing_top},
        {whole, 182, 102, resizing_right | resizing_bottom},
        {whole, 100, 102, resizing_left | resizing_bottom},
        {whole, 140, 36, 0},
        {panned, 0, 70, 0}, // no line for the hidden left border
        {panned, 60, 70, resizing_right},
        {panned, 10, 40, resizing_top},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hit_focus_borders(focused, c.shown, 3, c.x, c.y), c.expected) << c.x << "," << c.y;
}

TEST(region_rules, the_cursor_says_which_borders_a_press_would_drag) {
    const struct {
        std::uint32_t hits;
        bool control;
        std::uint32_t hover;
        tool_cursor cursor;
    } cases[] = {
        {0, false, 0, tool_cursor::arrow},
        {0, true, 0, tool_cursor::arrow},
        {resizing_left, false, resizing_left, tool_cursor::size_we},
        {resizing_right, false, resizing_right, tool_cursor::size_we},
        {resizing_top, false, resizing_top, tool_cursor::size_ns},
        {resizing_bottom, false, resizing_bottom, tool_cursor::size_ns},
        {resizing_left | resizing_top, false, resizing_left | resizing_top, tool_cursor::size_nwse},
        {resizing_right | resizing_bottom, false, resizing_right | resizing_bottom, tool_cursor::size_nwse},
        {resizing_left | resizing_bottom, false, resizing_left | resizing_bottom, tool_cursor::size_nesw},
        {resizing_right | resizing_top, false, resizing_right | resizing_top, tool_cursor::size_nesw},
        {resizing_left | resizing_right | resizing_top, false, resizing_left | resizing_right | resizing_top,
         tool_cursor::size_we},
        {resizing_top | resizing_bottom, false, resizing_top | resizing_bottom, tool_cursor::size_ns},
        {resizing_left, true, moving_focus, tool_cursor::size_all},
        {resizing_right | resizing_bottom, true, moving_focus, tool_cursor::size_all},
    };
    for (const auto& c : cases) {
        const border_hover hover = hover_for_borders(c.hits, c.control);
        EXPECT_EQ(hover.hover, c.hover) << std::hex << c.hits;
        EXPECT_EQ(hover.cursor, c.cursor) << std::hex << c.hits;
    }
}

TEST(region_rules, circle_distances_are_squared_in_64_bits) {
    const struct {
        image_point a, b;
        std::uint64_t expected;
    } cases[] = {
        {{0, 0}, {3, 4}, 25},
        {{-3, 0}, {0, 4}, 25},
        {{0, 0}, {46341, 0}, 2'147'488'281},                         // just past the signed 32-bit square
        {{-40960, 0}, {40960, 40960}, 8'388'608'000},                // 81920^2 + 40960^2
        {{int_min, 0}, {int_max, 0}, 18'446'744'065'119'617'025ull}, // (2^32 - 1)^2
        {{int_min, int_min}, {int_max, int_max}, std::numeric_limits<std::uint64_t>::max()},
    };
    for (const auto& c : cases)
        EXPECT_EQ(squared_distance(c.a, c.b), c.expected)
            << c.a.x << "," << c.a.y << " " << c.b.x << "," << c.b.y;
}

TEST(region_rules, a_painting_drag_adds_a_circle_past_5_pixels_or_past_500_ms) {
    const std::uint64_t last = 7'000 * ms;
    const struct {
        std::uint64_t squared_distance;
        std::uint64_t now;
        bool due;
    } cases[] = {
        {0, last, false},
        {25, last + 500 * ms, false},    // 5 pixels away, 500 ms later: neither is past
        {25, last + 500 * ms + 1, true}, // a nanosecond later
        {26, last, true},                // just past 5 pixels, at once
        {10'000, last + 1, true},
        {24, last + 499 * ms, false},
        {1, last + 3'600'000 * ms, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(circle_due(c.squared_distance, c.now, last), c.due)
            << c.squared_distance << " after " << (c.now - last) << " ns";
    // No circle added yet by a drag: its time is the clock's zero, long past.
    EXPECT_TRUE(circle_due(0, 2'000 * ms, 0));
}

TEST(region_rules, the_brush_paints_while_its_radius_reaches_into_the_image) {
    const struct {
        image_point p;
        bool reaches;
    } cases[] = {
        {{-9, 0}, true},  {{-10, 0}, false}, {{109, 0}, true},  {{110, 0}, false},
        {{50, 59}, true}, {{50, 60}, false}, {{0, -10}, false}, {{0, -9}, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(brush_reaches_image(c.p, 10.0, 100, 50), c.reaches) << c.p.x << "," << c.p.y;
}

TEST(region_rules, the_wheel_zooms_without_a_tool_and_sizes_the_brush_with_one) {
    const struct {
        std::uint32_t mode;
        bool shift;
        wheel_action action;
    } cases[] = {
        {0, false, wheel_action::zoom}, {0, true, wheel_action::none},   {1, false, wheel_action::brush},
        {1, true, wheel_action::zoom},  {2, false, wheel_action::brush}, {2, true, wheel_action::zoom},
    };
    for (const auto& c : cases)
        EXPECT_EQ(wheel_action_for(c.mode, c.shift), c.action) << c.mode << " " << c.shift;
}

} // namespace
