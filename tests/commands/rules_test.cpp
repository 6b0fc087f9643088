// The commands' rules without a window: the focused rectangle's border steps and the scale steps.
#include <gtest/gtest.h>

#include <array>

#include "plugin/command-rules.h"

namespace {

using namespace tessolux::main_window;
using tessolux::preview_rect;

// The rectangle goes to tilt-shift, whose job formats it as unsigned: it must stay inside the image and
// at least one pixel wide and high.
TEST(command_rules, border_steps_stop_at_the_image_edge_and_at_one_pixel) {
    const step_command left{step_direction::left, false}, right{step_direction::right, false};
    const step_command down{step_direction::down, false};
    // With Alt the right or bottom border moves.
    const step_command alt_left{step_direction::left, true}, alt_right{step_direction::right, true};
    const step_command alt_down{step_direction::down, true};
    // Image 100 x 80, steps of 4 pixels.
    const struct {
        const char* name;
        preview_rect focused;
        step_command step;
        preview_rect expected;
    } rows[] = {
        {"left border stops at x 0", {3, 10, 30, 20}, left, {0, 10, 33, 20}},
        {"left border moving right keeps one pixel", {10, 10, 3, 20}, right, {12, 10, 1, 20}},
        {"top border moving down keeps one pixel", {10, 10, 30, 2}, down, {10, 11, 30, 1}},
        {"right border at width 1 stays", {10, 10, 1, 20}, alt_left, {10, 10, 1, 20}},
        {"right border stops at the right edge", {68, 10, 30, 20}, alt_right, {68, 10, 32, 20}},
        {"bottom border stops at the bottom edge", {10, 59, 30, 20}, alt_down, {10, 59, 30, 21}},
        {"a rectangle already past the edge gets no room", {90, 10, 30, 20}, alt_right, {90, 10, 30, 20}},
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

} // namespace
