// How the displayed frame lies in the preview viewport: the view state (pan and zoom), the rectangle
// helpers that the overlays and the preview render share, the mapping between view pixels and image
// pixels, zooming about a point, the fit toggle, centring and the view-information text. Plain functions
// over plain values: the main window keeps the state, calls these and refreshes its controls itself.
#pragma once

#include <cstdint>
#include <string>

#include "image-processor.h"

namespace tessolux {

// Half away from zero, as cpp::round_to_int, for every view and image coordinate. Values beyond the
// 32-bit range saturate and NaN gives 0: a wild zoom or pan never becomes an undefined conversion.
std::int32_t round_to_int(double value) noexcept;

// The overlap of two rectangles with every coordinate read as unsigned 32-bit: a negative x or y counts
// as a huge one. An empty result keeps its x and y.
preview_rect intersect_rect(const preview_rect& a, const preview_rect& b) noexcept;
// The same rule in signed order, for rectangles whose x or y may be negative. Every rectangle of the
// preview is stored signed and intersected this way; sums are taken wide, so nothing wraps.
preview_rect intersect_signed_rect(const preview_rect& a, const preview_rect& b) noexcept;

bool same_rect(const preview_rect& a, const preview_rect& b) noexcept;
bool is_empty_rect(const preview_rect& r) noexcept;

// The four zero-thickness edges of a rectangle: the columns at its left and right border, the rows at
// its top and bottom border. The right and bottom ones lie just outside it.
struct rect_strips {
    preview_rect left, right, top, bottom;
};
rect_strips border_strips(const preview_rect& r) noexcept;

// A zero-thickness strip in the coordinates of source, as a one-pixel line in a space of target's size
// whose origin is source's origin (target's x and y are not used). A line that starts before the space
// is shortened by its overhang, never below length 0; a line lying wholly left of (vertical) or above
// (horizontal) the space gets thickness 0.
preview_rect scale_rect_to_view(const preview_rect& line, const preview_rect& source,
                                const preview_rect& target, bool vertical) noexcept;

// Where the image lies in the viewport (view, relative to the viewport's top-left) and which part of
// the image is shown there (image, in image pixels).
struct view_mapping {
    preview_rect view;
    preview_rect image;
};
view_mapping map_view_to_image(std::int32_t view_width, std::int32_t view_height, double pan_x, double pan_y,
                               double zoom, std::int32_t image_width, std::int32_t image_height) noexcept;
// As above, with the view rectangle cut to at most max_width x max_height pixels from its top-left and the
// image rectangle derived from the cut one: what a canvas of that size can hold.
view_mapping map_view_to_image(std::int32_t view_width, std::int32_t view_height, double pan_x, double pan_y,
                               double zoom, std::int32_t image_width, std::int32_t image_height,
                               std::int32_t max_width, std::int32_t max_height) noexcept;

// The view of one main window.
inline constexpr double min_zoom = 0.001;
inline constexpr double max_zoom = 1000.0;

struct view_state {
    // Where the image's top-left corner lies, in view pixels from the viewport's top-left.
    double pan_x = 0.0;
    double pan_y = 0.0;
    // View pixels per image pixel, within min_zoom .. max_zoom.
    double zoom = 1.0;
    // The view before the last fit, which a second fit returns to.
    double saved_pan_x = 0.0;
    double saved_pan_y = 0.0;
    double saved_zoom = 1.0;
};

// Multiplies the zoom by factor about (x, y) (relative to the viewport), clamped to min_zoom .. max_zoom
// (a NaN factor gives min_zoom); the image point under (x, y) stays in place.
void zoom_at(view_state& view, double x, double y, double factor) noexcept;

// The fit toggle: zooms the whole frame into the viewport and centres it, remembering the view before;
// when the view is already fitted (cpp::nearly_equal with 10 bits, about one part in a thousand), goes
// back to the remembered one. The fit is clamped to the zoom range.
// An empty viewport (a minimised window) or frame changes nothing and answers false.
bool zoom_to_fit(view_state& view, std::int32_t view_width, std::int32_t view_height,
                 std::int32_t image_width, std::int32_t image_height) noexcept;

// Centres the frame in the viewport at the current zoom; nothing without a frame (size 0).
void center_view(view_state& view, std::int32_t view_width, std::int32_t view_height,
                 std::int32_t image_width, std::int32_t image_height) noexcept;

// The image pixel under a client point. viewport is the preview's rectangle in client coordinates.
// Points left of or above the image give negative coordinates (-0.5 gives -1, a whole -1.0 gives -2);
// the point is not clamped to the image.
struct image_point {
    std::int32_t x;
    std::int32_t y;
};
image_point view_to_image_point(const preview_rect& viewport, const view_state& view,
                                std::int32_t image_width, std::int32_t image_height, std::int32_t x,
                                std::int32_t y) noexcept;

// Zoom and pan steps of the commands and the mouse.
inline constexpr double zoom_in_factor = 1.1111111111111112;
inline constexpr double zoom_out_factor = 0.9;
inline constexpr double pan_step = 10.0;
inline constexpr double pan_step_with_alt = 50.0;
// The levels of the "Zoom To" menu, in menu order.
inline constexpr double zoom_to_levels[] = {0.1, 0.25, 0.3333333333333333, 0.5, 0.75, 1.0, 1.5, 2.0, 3.0,
                                            5.0, 10.0};
// The level of a "Zoom To" command, or 0 for any other command.
double zoom_to_level(unsigned command) noexcept;
// e^(0.0005 x delta) in single precision, within the zoom range: the factor of one wheel turn.
double wheel_zoom_factor(std::int16_t delta) noexcept;

// The view-information text: pattern is string IDS_VIEW_INFO ("... %1, %2 ... %3 x %4 ... %5.%6 %"), filled
// with the visible image rectangle and the zoom in per cent with one decimal (1.375 shows 137.5).
std::wstring format_view_info(const std::wstring& pattern, const preview_rect& image, double zoom);

} // namespace tessolux
