// The commands' rules without a window: step keys, the focused rectangle's border steps, the scale
// steps, the maximise toggle, the background colour, the help path and the menu pictures' background.
#include <gtest/gtest.h>

#include <string>

#include "plugin/command-rules.h"
#include "resource.h"

namespace {

using namespace tessolux::main_window;
using tessolux::preview_rect;

const step_command left{step_direction::left, false};
const step_command right{step_direction::right, false};
const step_command up{step_direction::up, false};
const step_command down{step_direction::down, false};
const step_command left_large{step_direction::left, true};
const step_command right_large{step_direction::right, true};
const step_command up_large{step_direction::up, true};
const step_command down_large{step_direction::down, true};

void expect_rect(const preview_rect& actual, const preview_rect& expected) {
    EXPECT_EQ(actual.x, expected.x);
    EXPECT_EQ(actual.y, expected.y);
    EXPECT_EQ(actual.width, expected.width);
    EXPECT_EQ(actual.height, expected.height);
}

TEST(command_rules, the_eight_step_keys_name_a_direction_and_alt_the_large_step) {
    const struct {
        unsigned command;
        step_direction direction;
        bool large;
    } rows[] = {
        {32771, step_direction::left, false}, {32772, step_direction::right, false},
        {32773, step_direction::up, false},   {32774, step_direction::down, false},
        {32786, step_direction::left, true},  {32787, step_direction::right, true},
        {32788, step_direction::up, true},    {32789, step_direction::down, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        const std::optional<step_command> step = step_of(row.command);
        ASSERT_TRUE(step);
        EXPECT_EQ(step->direction, row.direction);
        EXPECT_EQ(step->large, row.large);
    }
    for (const unsigned other : {32770u, 32775u, 32778u, 32785u, 32790u, 0u})
        EXPECT_FALSE(step_of(other)) << other;
}

TEST(command_rules, pan_steps_are_10_view_pixels_and_50_with_alt_and_brush_steps_1_and_10) {
    const struct {
        step_command step;
        int pan_x, pan_y, brush_x, brush_y;
    } rows[] = {
        {left, -10, 0, -1, 0},      {right, 10, 0, 1, 0},         {up, 0, -10, 0, -1},
        {down, 0, 10, 0, 1},        {left_large, -50, 0, -10, 0}, {right_large, 50, 0, 10, 0},
        {up_large, 0, -50, 0, -10}, {down_large, 0, 50, 0, 10},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(pan_step_offset(row.step).x, row.pan_x);
        EXPECT_EQ(pan_step_offset(row.step).y, row.pan_y);
        EXPECT_EQ(brush_step_offset(row.step).x, row.brush_x);
        EXPECT_EQ(brush_step_offset(row.step).y, row.brush_y);
    }
}

TEST(command_rules, a_border_step_covers_about_one_view_pixel_and_at_least_one_image_pixel) {
    const struct {
        double zoom;
        std::int32_t pixels;
    } rows[] = {{1.0, 1}, {0.25, 4}, {0.4, 3}, {0.3, 3}, {0.001, 1000}, {2.0, 1}, {4.0, 1}, {1000.0, 1}};
    for (const auto& row : rows)
        EXPECT_EQ(focus_step_pixels(row.zoom), row.pixels) << row.zoom;
}

TEST(command_rules, border_steps_stop_at_the_image_edge_and_at_one_pixel) {
    // Image 100 x 80.
    const struct {
        const char* name;
        preview_rect focused;
        step_command step;
        std::int32_t pixels;
        preview_rect expected;
    } rows[] = {
        {"left border left at x 0 stays", {0, 10, 30, 20}, left, 1, {0, 10, 30, 20}},
        {"left border left by 4 at zoom 0.25", {10, 10, 30, 20}, left, 4, {6, 10, 34, 20}},
        {"left border left stops at x 0", {3, 10, 30, 20}, left, 4, {0, 10, 33, 20}},
        {"left border right", {10, 10, 30, 20}, right, 4, {14, 10, 26, 20}},
        {"left border right keeps one pixel", {10, 10, 3, 20}, right, 4, {12, 10, 1, 20}},
        {"left border right at width 1 stays", {10, 10, 1, 20}, right, 4, {10, 10, 1, 20}},
        {"top border up", {10, 10, 30, 20}, up, 4, {10, 6, 30, 24}},
        {"top border up stops at y 0", {10, 2, 30, 20}, up, 4, {10, 0, 30, 22}},
        {"top border down", {10, 10, 30, 20}, down, 4, {10, 14, 30, 16}},
        {"top border down keeps one pixel", {10, 10, 30, 2}, down, 4, {10, 11, 30, 1}},
        {"right border left", {10, 10, 30, 20}, left_large, 4, {10, 10, 26, 20}},
        {"right border left keeps one pixel", {10, 10, 1, 20}, left_large, 4, {10, 10, 1, 20}},
        {"right border right", {10, 10, 30, 20}, right_large, 4, {10, 10, 34, 20}},
        {"right border right stops at the image's right edge",
         {68, 10, 30, 20},
         right_large,
         4,
         {68, 10, 32, 20}},
        {"right border right at the edge stays", {70, 10, 30, 20}, right_large, 4, {70, 10, 30, 20}},
        {"bottom border up", {10, 10, 30, 20}, up_large, 4, {10, 10, 30, 16}},
        {"bottom border up keeps one pixel", {10, 10, 30, 3}, up_large, 4, {10, 10, 30, 1}},
        {"bottom border down", {10, 10, 30, 20}, down_large, 4, {10, 10, 30, 24}},
        {"bottom border down stops at the image's bottom edge",
         {10, 59, 30, 20},
         down_large,
         4,
         {10, 59, 30, 21}},
        {"bottom border down at the edge stays", {10, 60, 30, 20}, down_large, 4, {10, 60, 30, 20}},
        {"a rectangle already past the edge gets no room",
         {90, 10, 30, 20},
         right_large,
         4,
         {90, 10, 30, 20}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        expect_rect(step_focus_border(row.focused, row.step, row.pixels, 100, 80), row.expected);
    }
}

TEST(command_rules, scale_steps_stay_within_1_and_4) {
    const struct {
        float scale;
        bool up;
        float expected;
    } rows[] = {
        {1.0f, true, 1.25f}, {2.0f, true, 2.25f}, {3.5f, true, 3.75f},  {3.75f, true, 4.0f},
        {3.9f, true, 4.0f},  {4.0f, true, 4.0f},  {2.0f, false, 1.75f}, {1.25f, false, 1.0f},
        {1.1f, false, 1.0f}, {1.0f, false, 1.0f}, {4.0f, false, 3.75f},
    };
    for (const auto& row : rows)
        EXPECT_EQ(step_scale(row.scale, row.up), row.expected) << row.scale << (row.up ? " up" : " down");
}

TEST(command_rules, maximise_fills_the_work_area_and_a_second_press_goes_back) {
    const preview_rect work{0, 0, 1280, 1000};
    const preview_rect window{100, 50, 800, 600};
    const std::optional<maximise_move> first = toggle_maximise(window, work, {});
    ASSERT_TRUE(first);
    expect_rect(first->target, work);
    expect_rect(first->restore, window);
    const std::optional<maximise_move> second = toggle_maximise(work, work, first->restore);
    ASSERT_TRUE(second);
    expect_rect(second->target, window);
}

TEST(command_rules, maximise_of_a_window_already_filling_the_work_area_with_no_earlier_place_does_nothing) {
    const preview_rect work{0, 0, 1280, 1000};
    EXPECT_FALSE(toggle_maximise(work, work, {}));
    EXPECT_FALSE(toggle_maximise(work, work, {10, 10, 0, 300}));
}

TEST(command_rules, choosing_the_button_face_follows_the_system_colour_again) {
    const COLORREF face = RGB(240, 240, 240);
    EXPECT_EQ(chosen_background(face, face), -1);
    EXPECT_EQ(chosen_background(RGB(255, 0, 0), face), 0x0000FF);
    EXPECT_EQ(chosen_background(RGB(0, 0, 0), face), 0);
}

TEST(command_rules, the_help_file_lies_in_a_folder_given_as_a_plain_text_only) {
    const wchar_t folder[] = L"C:\\Program Files\\Tessolux";
    const std::wstring expected = L"C:\\Program Files\\Tessolux\\Tessolux3Plugin.chm";
    // With its terminator, without it, and with an odd byte count that cuts the last character.
    EXPECT_EQ(help_file_path(REG_SZ, folder, sizeof folder), expected);
    EXPECT_EQ(help_file_path(REG_SZ, folder, sizeof folder - sizeof(wchar_t)), expected);
    EXPECT_EQ(help_file_path(REG_SZ, folder, sizeof folder - 3),
              L"C:\\Program Files\\Tessolu\\Tessolux3Plugin.chm");
    // The text ends at its first zero.
    const wchar_t two[] = L"C:\\A\0C:\\B";
    EXPECT_EQ(help_file_path(REG_SZ, two, sizeof two), L"C:\\A\\Tessolux3Plugin.chm");
    for (const DWORD type : {REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY, REG_DWORD, REG_NONE})
        EXPECT_FALSE(help_file_path(type, folder, sizeof folder)) << type;
}

void expect_colour(std::uint32_t actual, std::uint32_t expected) {
    for (const int shift : {24, 16, 8, 0})
        EXPECT_NEAR(static_cast<int>(actual >> shift & 0xFF), static_cast<int>(expected >> shift & 0xFF), 1)
            << std::hex << actual << " against " << expected;
}

TEST(command_rules, a_pictures_painted_background_turns_into_the_menus_colour) {
    const COLORREF painted = RGB(240, 240, 240);
    // The background itself is fully transparent; white and black are fully covered.
    EXPECT_EQ(key_out_background(0xF0F0F0, painted), 0x00000000u);
    EXPECT_EQ(key_out_background(0xFFFFFF, painted), 0xFFFFFFFFu);
    EXPECT_EQ(key_out_background(0x000000, painted), 0xFF000000u);
    // Black at half coverage on the painted colour is (120, 120, 120); on white it is half white.
    expect_colour(key_out_background(0x787878, painted), 0x80000000u);
    expect_colour(blend_onto(key_out_background(0x787878, painted), RGB(255, 255, 255)), 0xFF7F7F7Fu);
    // The background becomes the menu's colour, opaque; full-coverage ink keeps its colour.
    EXPECT_EQ(blend_onto(key_out_background(0xF0F0F0, painted), RGB(255, 255, 255)), 0xFFFFFFFFu);
    EXPECT_EQ(blend_onto(key_out_background(0xF0F0F0, painted), RGB(212, 208, 200)), 0xFFD4D0C8u);
    // The dark ink counts as 81 % coverage (its red is 194 / 240 of the way to black): on white it stays
    // as far from white as it was from the painted colour.
    expect_colour(blend_onto(key_out_background(0x2E3A46, painted), RGB(255, 255, 255)), 0xFF313D49u);
    // On the painted colour itself every pixel looks as it was painted.
    for (const std::uint32_t pixel :
         {0x1E6CCFu, 0x7878F8u, 0xCFE2F8u, 0xD2352Bu, 0x808080u, 0xF0F0F0u, 0xF8F8F8u})
        expect_colour(blend_onto(key_out_background(pixel, painted), painted), 0xFF000000u | pixel);
}

} // namespace
