#include "command-rules.h"

#include <algorithm>
#include <cwchar>

#include "resource.h"

namespace tessolux::main_window {

std::optional<step_command> step_of(unsigned command) noexcept {
    switch (command) {
    case ID_STEP_LEFT:
        return step_command{step_direction::left, false};
    case ID_STEP_RIGHT:
        return step_command{step_direction::right, false};
    case ID_STEP_UP:
        return step_command{step_direction::up, false};
    case ID_STEP_DOWN:
        return step_command{step_direction::down, false};
    case ID_STEP_LEFT_LARGE:
        return step_command{step_direction::left, true};
    case ID_STEP_RIGHT_LARGE:
        return step_command{step_direction::right, true};
    case ID_STEP_UP_LARGE:
        return step_command{step_direction::up, true};
    case ID_STEP_DOWN_LARGE:
        return step_command{step_direction::down, true};
    default:
        return std::nullopt;
    }
}

namespace {

step_offset offset_of(step_direction direction, std::int32_t distance) noexcept {
    switch (direction) {
    case step_direction::left:
        return {-distance, 0};
    case step_direction::right:
        return {distance, 0};
    case step_direction::up:
        return {0, -distance};
    default:
        return {0, distance};
    }
}

} // namespace

step_offset pan_step_offset(step_command step) noexcept {
    return offset_of(step.direction, static_cast<std::int32_t>(step.large ? pan_step_with_alt : pan_step));
}

step_offset brush_step_offset(step_command step) noexcept {
    return offset_of(step.direction, step.large ? 10 : 1);
}

std::int32_t focus_step_pixels(double zoom) noexcept {
    return std::max(1, round_to_int(1.0 / zoom));
}

preview_rect step_focus_border(const preview_rect& focused, step_command step, std::int32_t pixels,
                               std::int32_t image_width, std::int32_t image_height) noexcept {
    // Each room is what the border can move before the rectangle leaves the image or shrinks below one
    // pixel; a rectangle that already breaks a bound gets no room rather than a wrapped one.
    const auto by = [pixels](std::int64_t room) {
        return static_cast<std::int32_t>(std::clamp<std::int64_t>(room, 0, pixels));
    };
    const std::int64_t x = focused.x;
    const std::int64_t y = focused.y;
    const std::int64_t width = focused.width;
    const std::int64_t height = focused.height;
    preview_rect moved = focused;
    if (!step.large) {
        switch (step.direction) {
        case step_direction::left: {
            const std::int32_t d = by(x);
            moved.x -= d;
            moved.width += d;
            break;
        }
        case step_direction::right: {
            const std::int32_t d = by(width - 1);
            moved.x += d;
            moved.width -= d;
            break;
        }
        case step_direction::up: {
            const std::int32_t d = by(y);
            moved.y -= d;
            moved.height += d;
            break;
        }
        case step_direction::down: {
            const std::int32_t d = by(height - 1);
            moved.y += d;
            moved.height -= d;
            break;
        }
        }
        return moved;
    }
    switch (step.direction) {
    case step_direction::left:
        moved.width -= by(width - 1);
        break;
    case step_direction::right:
        moved.width += by(image_width - width - x);
        break;
    case step_direction::up:
        moved.height -= by(height - 1);
        break;
    case step_direction::down:
        moved.height += by(image_height - height - y);
        break;
    }
    return moved;
}

float step_scale(float scale, bool up) noexcept {
    const float stepped = up ? scale + scale_step : scale - scale_step;
    if (stepped >= max_command_scale)
        return max_command_scale;
    if (stepped <= min_command_scale)
        return min_command_scale;
    return stepped;
}

std::optional<maximise_move> toggle_maximise(const preview_rect& window, const preview_rect& work_area,
                                             const preview_rect& restore) noexcept {
    if (!same_rect(window, work_area))
        return maximise_move{work_area, window};
    // A window that was already as large as the work area at the first press has no earlier place: going
    // "back" to an empty rectangle would shrink it to nothing.
    if (is_empty_rect(restore))
        return std::nullopt;
    return maximise_move{restore, restore};
}

std::int32_t chosen_background(COLORREF chosen, COLORREF face) noexcept {
    return chosen == face ? -1 : static_cast<std::int32_t>(chosen);
}

std::optional<std::wstring> help_file_path(DWORD type, const wchar_t* data, DWORD bytes) {
    if (type != REG_SZ)
        return std::nullopt;
    std::wstring path(data, wcsnlen(data, bytes / sizeof(wchar_t)));
    path += L"\\Tessolux3Plugin.chm";
    return path;
}

std::uint32_t key_out_background(std::uint32_t pixel, COLORREF background) noexcept {
    const int colour[3] = {static_cast<int>(pixel >> 16 & 0xFF), static_cast<int>(pixel >> 8 & 0xFF),
                           static_cast<int>(pixel & 0xFF)};
    const int under[3] = {GetRValue(background), GetGValue(background), GetBValue(background)};
    // The coverage each channel needs: how far it lies from the background towards white or black.
    double coverage = 0.0;
    for (int i = 0; i != 3; ++i) {
        if (colour[i] > under[i])
            coverage = std::max(coverage, static_cast<double>(colour[i] - under[i]) / (255 - under[i]));
        else if (colour[i] < under[i])
            coverage = std::max(coverage, static_cast<double>(under[i] - colour[i]) / under[i]);
    }
    const int alpha = round_to_int(coverage * 255.0);
    std::uint32_t keyed = static_cast<std::uint32_t>(alpha) << 24;
    for (int i = 0; i != 3; ++i) {
        // colour = picture * coverage + under * (1 - coverage); premultiplied, picture * coverage.
        const int premultiplied = std::clamp(round_to_int(colour[i] - under[i] * (1.0 - coverage)), 0, alpha);
        keyed |= static_cast<std::uint32_t>(premultiplied) << (16 - 8 * i);
    }
    return keyed;
}

std::uint32_t blend_onto(std::uint32_t premultiplied, COLORREF background) noexcept {
    const int alpha = static_cast<int>(premultiplied >> 24);
    const int under[3] = {GetRValue(background), GetGValue(background), GetBValue(background)};
    std::uint32_t blended = 0xFF000000u;
    for (int i = 0; i != 3; ++i) {
        const int over = static_cast<int>(premultiplied >> (16 - 8 * i) & 0xFF);
        const int channel = std::clamp(over + round_to_int(under[i] * (255 - alpha) / 255.0), 0, 255);
        blended |= static_cast<std::uint32_t>(channel) << (16 - 8 * i);
    }
    return blended;
}

} // namespace tessolux::main_window
