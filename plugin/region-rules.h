// The rules of the preview's region tools as plain functions over plain values: the focused rectangle's
// rubber band, move and border resize, the resize handles and their cursors, when the red-eye brush adds
// a circle, what the wheel does, and the pointer statistics of a frame. The main window keeps the state,
// calls these and does the window work itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "image-processor.h"
#include "preview-geometry.h"

namespace tessolux::main_window {

// drag_state: what the left button is doing in the preview.
enum drag_flag : std::uint32_t {
    drawing_focus = 1,
    panning = 2,
    moving_focus = 4,
    painting_circles = 16,
    resizing_left = 0x100,
    resizing_right = 0x200,
    resizing_top = 0x400,
    resizing_bottom = 0x800,
    resizing_any = 0xF00,
};

// The nine system cursors of the tools, in the order the main window loads them.
enum class tool_cursor : std::uint8_t {
    arrow,
    cross,
    size_all,
    hand,
    pen,
    size_ns,
    size_we,
    size_nesw,
    size_nwse
};

// Focused rectangle ---------------------------------------------------------------------------------------

// The rectangle between two image points (either order), cut to the image of width x height. Its corners
// are kept inside the image, so even an empty result lies there.
preview_rect rubber_band_rect(image_point a, image_point b, std::int32_t width, std::int32_t height) noexcept;

// What a rubber band without area leaves: the middle third of the image.
preview_rect middle_third(std::int32_t width, std::int32_t height) noexcept;

// start moved by (dx, dy) image pixels, stopped at the image's edges; its size stays.
preview_rect move_focus_rect(const preview_rect& start, std::int64_t dx, std::int64_t dy, std::int32_t width,
                             std::int32_t height) noexcept;

// start with the borders of resizing_* bits dragged by (dx, dy) image pixels. No border passes the
// opposite one (width and height stay at least 1) and none leaves the image. With keep_ratio, a corner
// (exactly two border bits) follows start's width-to-height ratio as far as those bounds allow.
preview_rect resize_focus_rect(const preview_rect& start, std::uint32_t borders, std::int64_t dx,
                               std::int64_t dy, bool keep_ratio, std::int32_t width,
                               std::int32_t height) noexcept;

// The resizing_* bits of the focused rectangle's borders within reach view pixels of the point (x, y),
// given relative to the top-left corner of shown.view. Each border is the one-pixel line the view draws
// for it; a border left of or above the shown part of the image has no line and is never hit.
std::uint32_t hit_focus_borders(const preview_rect& focused, const view_mapping& shown, std::int32_t reach,
                                std::int32_t x, std::int32_t y) noexcept;

// What a press over those border bits would start (hover) and the cursor that says so. With Ctrl any hit
// moves the whole rectangle.
struct border_hover {
    std::uint32_t hover;
    tool_cursor cursor;
};
border_hover hover_for_borders(std::uint32_t hits, bool control) noexcept;

// Red-eye circles ------------------------------------------------------------------------------------------

// Squared distance between two image points in 64 bits: image coordinates reach far beyond the 32-bit
// square's range. Saturates rather than wraps.
std::uint64_t squared_distance(image_point a, image_point b) noexcept;

// A painting drag adds a circle once it is more than 5 image pixels from the last one, or once more than
// 500 ms have passed since the last circle it added (times in steady-clock nanoseconds).
inline constexpr std::uint64_t circle_spacing_squared = 25;
inline constexpr std::uint64_t circle_interval_ns = 500'000'000;
bool circle_due(std::uint64_t squared_distance, std::uint64_t now_ns, std::uint64_t last_ns) noexcept;

// Whether a brush of radius view pixels at image point p still reaches into the image. The radius is
// compared with image coordinates as it stands.
bool brush_reaches_image(image_point p, double radius, std::int32_t width, std::int32_t height) noexcept;

// The wheel -------------------------------------------------------------------------------------------------

// Without a tool the wheel zooms; with one it sizes the brush; Shift swaps the two (and so does nothing
// without a tool).
enum class wheel_action { none, zoom, brush };
wheel_action wheel_action_for(std::uint32_t selection_mode, bool shift) noexcept;

// Pointer statistics ---------------------------------------------------------------------------------------

// The texts of the status bar's pointer readout: the position (pattern IDS_POINTER_POSITION with x, y),
// whether the point lies on the image, R, G and B in decimal, A in decimal or empty without alpha, and
// whether the samples are 16-bit.
struct pointer_stats {
    std::wstring position;
    bool inside = false;
    std::wstring channels[4];
    bool wide = false;
};

// The readout of frame at p; nothing while the engine holds the image.
std::optional<pointer_stats> read_pointer_stats(const std::wstring& pattern, const image_frame& frame,
                                                image_point p);

} // namespace tessolux::main_window
