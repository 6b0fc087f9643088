// The region tools of the preview: panning, the red-eye brush, the tilt-shift focused rectangle.
#include "main-dialog-impl.h"

#include "hotkey-dialog.h"

namespace tessolux::main_window {

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
