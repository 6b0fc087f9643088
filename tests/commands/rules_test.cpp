// The commands' rules without a window: the focused rectangle's border steps, the scale steps, the help
// file's path and the menu pictures' background.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "plugin/command-rules.h"

namespace {

using namespace tessolux::main_window;
using tessolux::preview_rect;

TEST(command_rules, a_border_step_covers_about_one_view_pixel_and_at_least_one_image_pixel) {
    const struct {
        double zoom;
        std::int32_t pixels;
    } rows[] = {{1.0, 1}, {0.25, 4}, {0.4, 3}, {0.3, 3}, {0.001, 1000}, {4.0, 1}};
    for (const auto& row : rows)
        EXPECT_EQ(focus_step_pixels(row.zoom), row.pixels) << row.zoom;
}

// The rectangle goes to tilt-shift, whose job formats it as unsigned: it must stay inside the image and
// at least one pixel wide and high.
TEST(command_rules, border_steps_stop_at_the_image_edge_and_at_one_pixel) {
    const step_command left{step_direction::left, false}, right{step_direction::right, false};
    const step_command up{step_direction::up, false}, down{step_direction::down, false};
    // With Alt the right or bottom border moves.
    const step_command right_border_left{step_direction::left, true};
    const step_command right_border_right{step_direction::right, true};
    const step_command bottom_up{step_direction::up, true}, bottom_down{step_direction::down, true};
    // Image 100 x 80, steps of 4 pixels.
    const struct {
        const char* name;
        preview_rect focused;
        step_command step;
        preview_rect expected;
    } rows[] = {
        {"left border left by a whole step", {10, 10, 30, 20}, left, {6, 10, 34, 20}},
        {"left border left at x 0 stays", {0, 10, 30, 20}, left, {0, 10, 30, 20}},
        {"left border left stops at x 0", {3, 10, 30, 20}, left, {0, 10, 33, 20}},
        {"left border right keeps one pixel", {10, 10, 3, 20}, right, {12, 10, 1, 20}},
        {"top border up stops at y 0", {10, 2, 30, 20}, up, {10, 0, 30, 22}},
        {"top border down keeps one pixel", {10, 10, 30, 2}, down, {10, 11, 30, 1}},
        {"right border left at width 1 stays", {10, 10, 1, 20}, right_border_left, {10, 10, 1, 20}},
        {"right border right stops at the right edge",
         {68, 10, 30, 20},
         right_border_right,
         {68, 10, 32, 20}},
        {"bottom border up keeps one pixel", {10, 10, 30, 3}, bottom_up, {10, 10, 30, 1}},
        {"bottom border down stops at the bottom edge", {10, 59, 30, 20}, bottom_down, {10, 59, 30, 21}},
        {"a rectangle already past the edge gets no room",
         {90, 10, 30, 20},
         right_border_right,
         {90, 10, 30, 20}},
    };
    const auto fields = [](const preview_rect& r) {
        return std::array<std::int32_t, 4>{r.x, r.y, r.width, r.height};
    };
    for (const auto& row : rows)
        EXPECT_EQ(fields(step_focus_border(row.focused, row.step, 4, 100, 80)), fields(row.expected))
            << row.name;
}

TEST(command_rules, scale_steps_go_by_a_quarter_and_stay_within_1_and_4) {
    const struct {
        float scale;
        bool up;
        float expected;
    } rows[] = {{1.0f, true, 1.25f},  {3.75f, true, 4.0f},  {3.9f, true, 4.0f},  {4.0f, true, 4.0f},
                {4.0f, false, 3.75f}, {1.25f, false, 1.0f}, {1.1f, false, 1.0f}, {1.0f, false, 1.0f}};
    for (const auto& row : rows)
        EXPECT_EQ(step_scale(row.scale, row.up), row.expected) << row.scale << (row.up ? " up" : " down");
}

TEST(command_rules, the_help_file_lies_in_a_folder_given_as_a_plain_text_only) {
    const wchar_t folder[] = L"C:\\Tessolux";
    const std::wstring expected = L"C:\\Tessolux\\Tessolux3Plugin.chm";
    // With its terminator, without it, and with an odd byte count that cuts the last character.
    EXPECT_EQ(help_file_path(REG_SZ, folder, sizeof folder), expected);
    EXPECT_EQ(help_file_path(REG_SZ, folder, sizeof folder - sizeof(wchar_t)), expected);
    EXPECT_EQ(help_file_path(REG_SZ, folder, sizeof folder - 3), L"C:\\Tessolu\\Tessolux3Plugin.chm");
    // The text ends at its first zero.
    const wchar_t two[] = L"C:\\A\0C:\\B";
    EXPECT_EQ(help_file_path(REG_SZ, two, sizeof two), L"C:\\A\\Tessolux3Plugin.chm");
    for (const DWORD type : {REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY, REG_DWORD})
        EXPECT_FALSE(help_file_path(type, folder, sizeof folder)) << type;
}

// The pictures are painted on (240, 240, 240); the menus show them on their own colour.
TEST(command_rules, a_pictures_painted_background_turns_into_the_menus_colour_and_its_ink_stays) {
    const COLORREF painted = RGB(240, 240, 240);
    EXPECT_EQ(blend_onto(key_out_background(0xF0F0F0, painted), RGB(212, 208, 200)), 0xFFD4D0C8u);
    EXPECT_EQ(blend_onto(key_out_background(0x000000, painted), RGB(212, 208, 200)), 0xFF000000u);
    // Black at half coverage on the painted colour is (120, 120, 120): on white it is half white.
    EXPECT_NEAR(
        static_cast<int>(blend_onto(key_out_background(0x787878, painted), RGB(255, 255, 255)) & 0xFF), 127,
        1);
    // On the painted colour itself every pixel looks as it was painted.
    for (const std::uint32_t pixel : {0x1E6CCFu, 0x7878F8u, 0xCFE2F8u, 0xD2352Bu, 0x808080u, 0xF8F8F8u}) {
        const std::uint32_t shown = blend_onto(key_out_background(pixel, painted), painted);
        for (const int shift : {16, 8, 0})
            EXPECT_NEAR(static_cast<int>(shown >> shift & 0xFF), static_cast<int>(pixel >> shift & 0xFF), 1)
                << std::hex << pixel;
    }
}

} // namespace
