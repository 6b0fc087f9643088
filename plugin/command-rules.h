// The rules of the main dialog's commands that need no window: which way a step key goes and what it
// does to the view, the brush or the focused rectangle; the scale steps; the maximise toggle; the
// background colour a choice leaves; the help file's path. The main window applies them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <windows.h>

#include "image-processor.h"
#include "preview-geometry.h"

namespace tessolux::main_window {

// The eight step keys of the numeric keypad (Ctrl+Num2/4/6/8): a direction, and Alt's large step.
enum class step_direction { left, right, up, down };
struct step_command {
    step_direction direction;
    bool large;
};
// The step of a command id; nothing for any other command.
std::optional<step_command> step_of(unsigned command) noexcept;

// How far a step moves the view in tool mode 0 (view pixels) and the brush in tool mode 2 (pixels).
struct step_offset {
    std::int32_t x;
    std::int32_t y;
};
step_offset pan_step_offset(step_command step) noexcept;
step_offset brush_step_offset(step_command step) noexcept;

// A step of the focused rectangle's borders in tool mode 1 covers at least one image pixel and about
// one view pixel: max(1, round(1 / zoom)).
std::int32_t focus_step_pixels(double zoom) noexcept;
// Moves one border of the focused rectangle by up to pixels image pixels, never past the image's edge
// and never below a width or height of 1: without Alt the left (left, right) or top (up, down) border,
// with Alt the right or bottom one. The rectangle must lie inside the image of that size.
preview_rect step_focus_border(const preview_rect& focused, step_command step, std::int32_t pixels,
                               std::int32_t image_width, std::int32_t image_height) noexcept;

// The scale commands step the DPI scale by a quarter within 1 to 4, in single precision as the dialog
// keeps it.
inline constexpr float scale_step = 0.25f;
inline constexpr float min_command_scale = 1.0f;
inline constexpr float max_command_scale = 4.0f;
float step_scale(float scale, bool up) noexcept;

// The maximise toggle: a window that fills the work area goes back to where it was; any other fills the
// work area and remembers where it was. Nothing when there is no place to go back to.
struct maximise_move {
    preview_rect target;
    preview_rect restore;
};
std::optional<maximise_move> toggle_maximise(const preview_rect& window, const preview_rect& work_area,
                                             const preview_rect& restore) noexcept;

// The background colour after the chooser gave chosen: -1 (follow the system's button face) when it is
// the button face's colour face, else the chosen one.
std::int32_t chosen_background(COLORREF chosen, COLORREF face) noexcept;

// The help file in the installation folder, from the InstallDir value as the registry gave it (type,
// data of bytes bytes): only a REG_SZ names a folder; the text ends at its first zero or after bytes.
std::optional<std::wstring> help_file_path(DWORD type, const wchar_t* data, DWORD bytes);

// The menus' pictures are painted on this colour, which the engine's decoding keeps opaque; the menus
// show them on a colour of their own, so the picture's background is painted again in that colour.
inline constexpr COLORREF picture_background = RGB(240, 240, 240);
// One pixel of such a picture (0x00RRGGBB) as a premultiplied 0xAARRGGBB pixel without its background:
// the picture at the least coverage that, blended onto background, gives the pixel's colour; background
// itself becomes fully transparent.
std::uint32_t key_out_background(std::uint32_t pixel, COLORREF background) noexcept;
// A premultiplied pixel blended onto background: an opaque 0xFFRRGGBB pixel.
std::uint32_t blend_onto(std::uint32_t premultiplied, COLORREF background) noexcept;

} // namespace tessolux::main_window
