// The region tools' rules as tables, without a window; every expected value worked out by hand.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "plugin/region-rules.h"

namespace {

using namespace tessolux::main_window;
using tessolux::preview_rect;

constexpr std::uint32_t left = resizing_left, right = resizing_right, top = resizing_top,
                        bottom = resizing_bottom;

std::string text(const preview_rect& r) {
    return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
           std::to_string(r.height);
}

TEST(region_rules, a_move_or_a_border_stops_at_the_image_edge_and_one_pixel_before_the_opposite_border) {
    EXPECT_EQ(text(move_focus_rect({50, 20, 40, 30}, -100, 500, 200, 100)), "0,70 40x30");
    EXPECT_EQ(text(move_focus_rect({50, 20, 40, 30}, 5'000'000'000, 0, 200, 100)), "160,20 40x30");
    const struct {
        preview_rect start;
        std::uint32_t borders;
        std::int64_t dx, dy;
        bool shift;
        const char* expected;
    } cases[] = {
        {{50, 20, 40, 30}, left | top, -1'000'000'000'000, -1'000'000'000'000, false, "0,0 90x50"},
        // With Shift a corner follows the starting ratio: 60 x 30 is cut back to 1.5 x 30 = 45 wide ...
        {{10, 10, 30, 20}, right | bottom, 30, 10, true, "10,10 45x30"},
        // ... and 41 x 50 of a 40 x 20 to 41 / 2 = 20.5 high, rounded away from zero.
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

TEST(region_rules, a_painting_drag_adds_a_circle_past_5_pixels_or_past_500_ms) {
    EXPECT_EQ(squared_distance({-3, 0}, {0, 4}), 25u);
    EXPECT_EQ(squared_distance({0, 0}, {46341, 0}), 2'147'488'281u); // past the signed 32-bit range
    EXPECT_EQ(squared_distance({INT32_MIN, INT32_MIN}, {INT32_MAX, INT32_MAX}), UINT64_MAX); // saturates
    constexpr std::uint64_t ms = 1'000'000, last = 7'000 * ms;
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
}

} // namespace
