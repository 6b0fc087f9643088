// The region tools of the preview: panning, the red-eye brush, the tilt-shift focused rectangle.
#include "main-dialog-impl.h"

#include <cmath>

#include "hotkey-dialog.h"

#include <algorithm>

namespace tessolux::main_window {

double clamp_brush_radius(double radius) noexcept {
    // Beyond these the radius either overflows the integer rounding or, at 0, can never grow again.
    return std::isnan(radius) ? min_brush_radius : std::clamp(radius, min_brush_radius, max_brush_radius);
}

// The brush grows or shrinks about its centre; what it covered before and after is repainted.
void impl::scale_brush(double factor, int x, int y) {
    eye_region& record = *controls->circle_record;
    const double old_radius = record.radius;
    const double new_radius = clamp_brush_radius(old_radius * factor);
    const std::int32_t reach =
        round_to_int(std::max(new_radius, old_radius) + record.darken_border * view.zoom);
    record.radius = new_radius;
    update_radius_text();
    const RECT covered{x - reach - 1, y - reach - 1, x + reach + 1, y + reach + 1};
    InvalidateRect(dialog, &covered, FALSE);
}

void impl::on_left_button_down(int, int, WPARAM) {}
void impl::on_left_button_up() {}
void impl::on_capture_changed() {}
void impl::on_left_double_click() {}
void impl::on_middle_button_up(int, int) {}
void impl::on_right_button_up(int, int) {}
void impl::on_mouse_move(int, int, WPARAM) {}
void impl::on_mouse_wheel(WPARAM, LPARAM) {}
void impl::set_cursor(HCURSOR) {}
void impl::move_select_circle(int, int) {}
void impl::update_radius_text() {}
void impl::update_pointer_stats() {}

} // namespace tessolux::main_window
