// The region tools' rules as tables, without a window; every expected value worked out by hand.
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <ole2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "plugin/region-rules.h"
#include "resource.h"

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
        {{50, 20, 40, 30}, left, 100, 0, false, "89,20 1x30"},
        {{50, 20, 40, 30}, right, 500, 0, false, "50,20 150x30"},
        {{50, 20, 40, 30}, left | top, -1'000'000'000'000, -1'000'000'000'000, false, "0,0 90x50"},
        // With Shift a corner follows the starting ratio: 60 x 22 is cut back to 2 x 22 = 44 wide ...
        {{10, 10, 40, 20}, right | bottom, 20, 2, true, "10,10 44x22"},
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
        {whole, 104, 70, false, 0, tool_cursor::arrow},
        {whole, 100, 40, false, left | top, tool_cursor::size_nwse},
        {whole, 100, 102, false, left | bottom, tool_cursor::size_nesw},
        {whole, 182, 102, true, moving_focus, tool_cursor::size_all},
        {panned, 0, 70, false, 0, tool_cursor::arrow},
        {panned, 60, 70, false, right, tool_cursor::size_we},
    };
    for (const auto& c : cases) {
        const border_hover hover =
            hover_for_borders(hit_focus_borders({50, 20, 40, 30}, c.shown, 3, c.x, c.y), c.control);
        EXPECT_EQ(hover.hover, c.hover) << c.x << "," << c.y;
        EXPECT_EQ(hover.cursor, c.cursor) << c.x << "," << c.y;
    }
}

TEST(region_rules, a_painting_drag_adds_a_circle_past_5_pixels_or_past_500_ms) {
    constexpr std::uint64_t ms = 1'000'000;
    EXPECT_EQ(squared_distance({-3, 0}, {0, 4}), 25u);
    EXPECT_EQ(squared_distance({0, 0}, {46341, 0}), 2'147'488'281u); // past the signed 32-bit range
    EXPECT_EQ(squared_distance({int_min, int_min}, {int_max, int_max}),
              std::numeric_limits<std::uint64_t>::max());
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
    EXPECT_FALSE(brush_reaches_image({-10, 0}, 10.0, 100, 50));
}

TEST(pointer_stats, the_texts_come_from_the_pixel_under_the_pointer_or_wait_while_the_engine_holds_it) {
    ASSERT_GE(OleInitialize(nullptr), 0);
    {
        const tessolux::engine_context engine = tessolux::create_engine_context();
        const std::wstring pattern = tessolux::module_string(IDS_POINTER_POSITION);
        // A 5 x 4 frame, all zero but (3, 2); samples in the frame's own order, texts as "R G B A".
        const struct {
            std::int32_t depth, c1, c2, alpha;
            std::vector<std::uint16_t> samples;
            image_point p;
            const wchar_t* texts;
        } cases[] = {
            {8, 1, 2, -1, {200, 100, 7}, {3, 2}, L"200 100 7 "},
            {16, 1, 2, -1, {65535, 0x1234, 0}, {3, 2}, L"65535 4660 0 "},
            {8, 1, 2, 3, {1, 2, 3, 128}, {3, 2}, L"1 2 3 128"},
            {16, 1, 2, 3, {40000, 30000, 20000, 65535}, {3, 2}, L"40000 30000 20000 65535"},
            {8, 0, 0, -1, {77}, {3, 2}, L"77 77 77 "},
            {16, 1, 2, 3, {1, 2, 3, 4}, {-1, 2}, L"0 0 0 "}, // left of the image
        };
        for (const auto& c : cases) {
            const tessolux::image_frame_ptr frame =
                tessolux::create_engine_image(engine, 5, 4, c.depth, 0, c.c1, c.c2, c.alpha);
            com_ptr<zorvane::IImageData> data;
            BYTE* bits = nullptr;
            INT32 stride = 0;
            UINT32 size = 0;
            ASSERT_GE(frame->image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void()), 0);
            ASSERT_GE(data->get_buffer(&bits, &size, &stride, nullptr, nullptr), 0);
            std::memset(bits, 0, size);
            const std::size_t bytes = static_cast<std::size_t>(c.depth / 8);
            BYTE* pixel = bits + 2 * stride + 3 * c.samples.size() * bytes;
            for (std::size_t i = 0; i != c.samples.size() * bytes; ++i) // little-endian 16-bit samples
                pixel[i] = static_cast<BYTE>(c.samples[i / bytes] >> (8 * (i % bytes)));

            const std::wstring where = std::to_wstring(c.p.x) + L", " + std::to_wstring(c.p.y);
            ASSERT_GE(data->try_acquire(), 0);
            EXPECT_FALSE(read_pointer_stats(pattern, *frame, c.p)) << c.texts;
            data->release();
            const std::optional<pointer_stats> stats = read_pointer_stats(pattern, *frame, c.p);
            ASSERT_TRUE(stats) << c.texts;
            EXPECT_EQ(stats->position, L"Current Position:  " + where);
            const bool inside = c.p.x == 3 && c.p.y == 2;
            EXPECT_EQ(stats->inside, inside) << c.texts;
            EXPECT_EQ(stats->channels[0] + L" " + stats->channels[1] + L" " + stats->channels[2] + L" " +
                          stats->channels[3],
                      c.texts);
            EXPECT_EQ(stats->wide, inside && c.depth == 16) << c.texts;
        }
    }
    OleUninitialize();
}

} // namespace
