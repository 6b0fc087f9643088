// The preview's geometry as tables. Every expected value is worked out by hand from the rules (pan,
// zoom, the rounding half away from zero), never with the code's own helpers.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "plugin/preview-geometry.h"
#include "resource.h"
#include "win-common.h"

namespace {

using tessolux::image_point;
using tessolux::preview_rect;
using tessolux::view_mapping;
using tessolux::view_state;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr std::int32_t int_max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t int_min = std::numeric_limits<std::int32_t>::min();

::testing::AssertionResult same(const preview_rect& actual, const preview_rect& expected) {
    if (actual.x == expected.x && actual.y == expected.y && actual.width == expected.width &&
        actual.height == expected.height)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "{" << actual.x << ", " << actual.y << ", " << actual.width << ", " << actual.height
           << "} instead of {" << expected.x << ", " << expected.y << ", " << expected.width << ", "
           << expected.height << "}";
}

TEST(preview_geometry, round_to_int_rounds_halves_away_from_zero_and_saturates) {
    const struct {
        double value;
        std::int32_t expected;
    } cases[] = {
        {0.5, 1},
        {-0.5, -1},
        {1.49, 1},
        {-1.5, -2},
        {2147483647.4, int_max},
        {3e9, int_max},
        {infinity, int_max},
        {-2147483648.4, int_min},
        {-3e9, int_min},
        {-infinity, int_min},
        {nan, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tessolux::round_to_int(c.value), c.expected) << c.value;
}

TEST(preview_geometry, the_signed_intersection_keeps_negative_origins_where_the_unsigned_rule_loses_them) {
    const struct {
        const char* what;
        preview_rect a, b, unsigned_result, signed_result;
    } cases[] = {
        {"overlap", {0, 0, 10, 10}, {5, 5, 10, 10}, {5, 5, 5, 5}, {5, 5, 5, 5}},
        {"disjoint keeps its origin", {0, 0, 10, 10}, {20, 30, 5, 5}, {20, 30, 0, 0}, {20, 30, 0, 0}},
        // Read unsigned, -5 is the largest x there is: nothing overlaps.
        {"negative origin", {-5, -5, 10, 10}, {0, 0, 100, 100}, {-5, -5, 0, 0}, {0, 0, 5, 5}},
        // Biased by 0x80000000 the first right edge would wrap past 32 bits; taken wide it does not.
        {"right edge past the biased range",
         {2147483000, -10, 2000, 20},
         {0, 0, int_max, 10},
         {2147483000, -10, 647, 0},
         {2147483000, 0, 647, 10}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(same(tessolux::intersect_rect(c.a, c.b), c.unsigned_result));
        EXPECT_TRUE(same(tessolux::intersect_signed_rect(c.a, c.b), c.signed_result));
    }
}

TEST(preview_geometry, border_strips_are_the_four_edges_with_the_far_ones_just_outside) {
    const tessolux::rect_strips strips = tessolux::border_strips({3, 4, 10, 20});
    EXPECT_TRUE(same(strips.left, {3, 4, 0, 20}));
    EXPECT_TRUE(same(strips.right, {13, 4, 0, 20}));
    EXPECT_TRUE(same(strips.top, {3, 4, 10, 0}));
    EXPECT_TRUE(same(strips.bottom, {3, 24, 10, 0}));
}

TEST(preview_geometry, scale_rect_to_view_shortens_overhangs_and_never_gives_a_negative_length) {
    // Image rectangle {10, 20, 40, 20} shown in 100 x 50 view pixels: 2.5 view pixels per image pixel.
    const preview_rect image{10, 20, 40, 20};
    const preview_rect view{7, 9, 100, 50}; // its x and y play no part
    const struct {
        const char* what;
        preview_rect line;
        bool vertical;
        preview_rect expected;
    } cases[] = {
        {"column inside, at a fractional ratio", {30, 20, 0, 20}, true, {50, 0, 1, 50}},
        {"row starting left of the space", {5, 30, 20, 0}, false, {0, 25, 37, 1}},
        {"column left of the space", {5, 20, 0, 20}, true, {0, 0, 0, 50}},
        {"row above the space", {10, 15, 40, 0}, false, {0, 0, 100, 0}},
        // Overhangs longer than the line itself: length 0, not a negative one read as a huge one.
        {"column wholly above the space", {20, 10, 0, 4}, true, {25, 0, 1, 0}},
        {"row wholly left of the space", {0, 25, 6, 0}, false, {0, 13, 0, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(same(tessolux::scale_rect_to_view(c.line, image, view, c.vertical), c.expected));
    }
    EXPECT_TRUE(same(tessolux::scale_rect_to_view({1, 1, 0, 5}, {0, 0, 0, 10}, view, true), {0, 0, 0, 0}))
        << "an empty source gives an empty line";
}

TEST(preview_geometry, map_view_to_image_gives_the_covered_view_and_the_shown_image_part) {
    const struct {
        const char* what;
        std::int32_t vw, vh;
        double pan_x, pan_y, zoom;
        std::int32_t iw, ih;
        preview_rect view, image;
    } cases[] = {
        {"viewport larger than the image",
         960,
         720,
         80,
         60,
         0.5,
         1200,
         800,
         {80, 60, 600, 400},
         {0, 0, 1200, 800}},
        {"panned out to the left", 960, 720, -700, 0, 0.5, 1200, 800, {0, 0, 0, 400}, {1400, 0, 0, 800}},
        // Pans round to -37 and -13; 37 / 3.7 = 10, 13 / 3.7 = 3.51, 300 / 3.7 = 81.1, 200 / 3.7 = 54.1.
        {"zoomed in at an odd pan", 300, 200, -37.3, -12.6, 3.7, 100, 80, {0, 0, 300, 200}, {10, 4, 81, 54}},
        // Pans round to 51 and 20; the visible 149 x 130 view pixels are 372.5 x 325 image pixels.
        {"zoomed out, overhanging",
         200,
         150,
         50.5,
         20.49,
         0.4,
         1000,
         500,
         {51, 20, 149, 130},
         {0, 0, 373, 325}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const view_mapping shown =
            tessolux::map_view_to_image(c.vw, c.vh, c.pan_x, c.pan_y, c.zoom, c.iw, c.ih);
        EXPECT_TRUE(same(shown.view, c.view));
        EXPECT_TRUE(same(shown.image, c.image));
    }
}

TEST(preview_geometry, a_view_larger_than_the_canvas_is_cut_to_it_and_the_image_part_follows) {
    const struct {
        const char* what;
        double pan_x, pan_y, zoom;
        std::int32_t canvas_width, canvas_height;
        preview_rect view, image;
    } cases[] = {
        {"fits", 10, 5, 1.0, 1000, 1000, {10, 5, 290, 195}, {0, 0, 290, 195}},
        {"cut to the canvas", 10, 5, 1.0, 120, 90, {10, 5, 120, 90}, {0, 0, 120, 90}},
        {"image beyond the top-left", -50, -20, 2.0, 100, 60, {0, 0, 100, 60}, {25, 10, 50, 30}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const view_mapping shown = tessolux::map_view_to_image(300, 200, c.pan_x, c.pan_y, c.zoom, 400, 300,
                                                               c.canvas_width, c.canvas_height);
        EXPECT_TRUE(same(shown.view, c.view));
        EXPECT_TRUE(same(shown.image, c.image));
    }
}

TEST(preview_geometry, view_to_image_point_floors_left_of_the_image_and_spreads_the_view_over_the_image) {
    // Viewport at client (8, 8); the image 100 x 80 at zoom 2 starts at view (100, 50), client (108, 58).
    const preview_rect viewport{8, 8, 300, 200};
    const view_state zoomed{100, 50, 2.0};
    const struct {
        std::int32_t x, y;
        image_point expected;
    } cases[] = {
        {108, 58, {0, 0}},     {109, 59, {0, 0}}, {110, 60, {1, 1}}, {107, 57, {-1, -1}}, // -0.5 image pixels
        {106, 56, {-2, -2}}, // a whole -1.0 also loses one
        {105, 300, {-2, 121}},
    };
    for (const auto& c : cases) {
        const image_point p = tessolux::view_to_image_point(viewport, zoomed, 100, 80, c.x, c.y);
        EXPECT_EQ(p.x, c.expected.x) << c.x << ", " << c.y;
        EXPECT_EQ(p.y, c.expected.y) << c.x << ", " << c.y;
    }

    // Panned wholly out of the viewport: pan and zoom map the point directly, (10 + 500) / 2 and 10 / 2.
    const image_point outside =
        tessolux::view_to_image_point({0, 0, 300, 200}, {-500, 0, 2.0}, 100, 80, 10, 10);
    EXPECT_EQ(outside.x, 255);
    EXPECT_EQ(outside.y, 5);

    // Every view pixel lands inside the shown image part, and the last one near its far edge: at zoom 0.4
    // view pixel 148 of 149 is image column 148 x 373 / 149 = 370.5; zoomed in at 3.7, 299 x 81 / 300 + 10.
    const struct {
        preview_rect viewport;
        view_state view;
        std::int32_t iw, ih;
        preview_rect shown_view, shown_image;
        image_point last;
    } spreads[] = {
        {{0, 0, 200, 150}, {50.5, 20.49, 0.4}, 1000, 500, {51, 20, 149, 130}, {0, 0, 373, 325}, {370, 322}},
        {{0, 0, 300, 200}, {-37.3, -12.6, 3.7}, 100, 80, {0, 0, 300, 200}, {10, 4, 81, 54}, {90, 57}},
    };
    for (const auto& s : spreads) {
        for (std::int32_t y = s.shown_view.y; y != s.shown_view.y + s.shown_view.height; ++y)
            for (std::int32_t x = s.shown_view.x; x != s.shown_view.x + s.shown_view.width; ++x) {
                const image_point p = tessolux::view_to_image_point(s.viewport, s.view, s.iw, s.ih, x, y);
                ASSERT_TRUE(p.x >= s.shown_image.x && p.x < s.shown_image.x + s.shown_image.width &&
                            p.y >= s.shown_image.y && p.y < s.shown_image.y + s.shown_image.height)
                    << "view " << x << ", " << y << " gives image " << p.x << ", " << p.y;
            }
        const image_point last = tessolux::view_to_image_point(s.viewport, s.view, s.iw, s.ih,
                                                               s.shown_view.x + s.shown_view.width - 1,
                                                               s.shown_view.y + s.shown_view.height - 1);
        EXPECT_EQ(last.x, s.last.x);
        EXPECT_EQ(last.y, s.last.y);
    }
}

TEST(preview_geometry, zoom_at_keeps_the_point_in_place_and_clamps_the_zoom) {
    const struct {
        const char* what;
        view_state before;
        double x, y, factor;
        double zoom, pan_x, pan_y;
    } cases[] = {
        {"doubling", {0, 0, 1.0}, 100, 100, 2.0, 2.0, -100, -100},
        // 0.0002 is clamped: the pan moves by the clamped ratio 0.001 / 0.002 only.
        {"below the range", {10, 20, 0.002}, 110, 220, 0.1, 0.001, 60, 120},
        {"above the range", {0, 0, 500}, 50, 40, 3.0, 1000, -50, -40},
        {"a NaN factor", {0, 0, 1.0}, 1000, 0, nan, 0.001, 999, 0},
        {"a zero factor", {0, 0, 1.0}, 0, 0, 0.0, 0.001, 0, 0},
        {"an infinite factor", {0, 0, 1.0}, 10, 0, infinity, 1000, -9990, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        view_state view = c.before;
        tessolux::zoom_at(view, c.x, c.y, c.factor);
        EXPECT_EQ(view.zoom, c.zoom);
        EXPECT_DOUBLE_EQ(view.pan_x, c.pan_x);
        EXPECT_DOUBLE_EQ(view.pan_y, c.pan_y);
    }

    // The zoom commands zoom about the viewport's centre, its halves truncated: (480, 360) of 961 x 721.
    view_state view;
    tessolux::zoom_about_centre(view, 961, 721, 2.0);
    EXPECT_EQ(view.pan_x, -480);
    EXPECT_EQ(view.pan_y, -360);
}

TEST(preview_geometry, a_second_fit_restores_the_view_from_before_the_first) {
    view_state view{5, 7, 1.0};
    ASSERT_TRUE(tessolux::zoom_to_fit(view, 960, 720, 6000, 4000));
    // min(960 / 6000, 720 / 4000) = 0.16: 960 x 640 view pixels, centred.
    EXPECT_DOUBLE_EQ(view.zoom, 0.16);
    EXPECT_DOUBLE_EQ(view.pan_x, 0);
    EXPECT_DOUBLE_EQ(view.pan_y, 40);
    ASSERT_TRUE(tessolux::zoom_to_fit(view, 960, 720, 6000, 4000));
    EXPECT_EQ(view.zoom, 1.0);
    EXPECT_EQ(view.pan_x, 5);
    EXPECT_EQ(view.pan_y, 7);
}

TEST(preview_geometry, the_fit_leaves_an_empty_viewport_alone_and_stays_in_the_zoom_range) {
    const struct {
        const char* what;
        std::int32_t vw, vh, iw, ih;
        bool changed;
        double zoom, pan_x, pan_y;
    } cases[] = {
        // A minimised window: the view must not become zoom 0 and NaN pans.
        {"0 x 0 viewport", 0, 0, 600, 400, false, 2.0, 3, 4},
        {"0 wide viewport", 0, 720, 600, 400, false, 2.0, 3, 4},
        {"no frame", 960, 720, 0, 0, false, 2.0, 3, 4},
        {"a pixel in a large viewport", 2000, 1500, 1, 1, true, 1000, 500, 250},
        {"a huge frame in a small viewport", 10, 10, 65535, 65535, true, 0.001, -27.7675, -27.7675},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        view_state view{3, 4, 2.0};
        EXPECT_EQ(tessolux::zoom_to_fit(view, c.vw, c.vh, c.iw, c.ih), c.changed);
        EXPECT_EQ(view.zoom, c.zoom);
        EXPECT_DOUBLE_EQ(view.pan_x, c.pan_x);
        EXPECT_DOUBLE_EQ(view.pan_y, c.pan_y);
    }
}

TEST(preview_geometry, the_view_information_shows_the_zoom_in_per_cent_with_one_decimal) {
    std::wstring pattern;
    system_ui::load_string(pattern, GetModuleHandleW(nullptr), IDS_VIEW_INFO);
    const struct {
        double zoom;
        const wchar_t* line;
    } cases[] = {
        {1.375, L"Zoom:\t137.5 %"},
        {1.0 / 3.0, L"Zoom:\t33.3 %"},
        {0.001, L"Zoom:\t0.1 %"},
        {1000, L"Zoom:\t100000.0 %"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tessolux::format_view_info(pattern, {12, 34, 560, 780}, c.zoom),
                  std::wstring(L"Visible Position:\t12,  34\r\nVisible Dimensions:\t560  \u00d7  780\r\n") +
                      c.line);
}

TEST(preview_geometry, wheel_turns_and_menu_levels_give_their_zoom_factors) {
    // e^(0.0005 x 120) and e^(-0.06) in single precision; a full turn of the 16-bit delta is clamped.
    EXPECT_FLOAT_EQ(static_cast<float>(tessolux::wheel_zoom_factor(120)), 1.0618365f);
    EXPECT_FLOAT_EQ(static_cast<float>(tessolux::wheel_zoom_factor(-120)), 0.94176453f);
    EXPECT_EQ(tessolux::wheel_zoom_factor(32767), 1000.0);
    EXPECT_EQ(tessolux::wheel_zoom_factor(-32768), 0.001);

    const struct {
        unsigned command;
        double level;
    } levels[] = {
        {ID_ZOOM_TO_10, 0.1},  {ID_ZOOM_TO_33, 0.3333333333333333},
        {ID_ZOOM_TO_200, 2.0}, {ID_ZOOM_TO_1000, 10.0},
        {ID_ZOOM_IN, 0.0},     {ID_ZOOM_TO_FIT, 0.0},
    };
    for (const auto& l : levels)
        EXPECT_EQ(tessolux::zoom_to_level(l.command), l.level) << l.command;
}

} // namespace
