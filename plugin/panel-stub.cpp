// TEMPORARY stand-in for the controls panel until it lands.
#include "main-controls-frame.h"

#include <cmath>

#include "resource.h"

namespace tessolux {

struct main_window::controls_frame::impl {};

main_window::controls_frame::controls_frame(HWND owner, int x, int y, int width, int height, float, change_callback,
                                            failure_callback, back_buffer_callback, back_buffer_release,
                                            const engine_context&) {
    dialog_ = CreateWindowExW(0, L"STATIC", L"panel", WS_CHILD | WS_VISIBLE | WS_BORDER, x, y, width, height, owner,
                              nullptr, nullptr, nullptr);
}
main_window::controls_frame::~controls_frame() = default;
INT_PTR main_window::controls_frame::process_message(const system_ui::register_function&, HWND, UINT, WPARAM,
                                                     LPARAM) {
    return 0;
}
void main_window::controls_frame::load_filter_settings(const std::wstring&) {
    active_filters = 5;
}
void main_window::controls_frame::save_filter_settings(const std::wstring&) {}
void main_window::controls_frame::prepare_effects_combo(const engine_context&) {}
std::wstring main_window::controls_frame::selected_effect_node() const {
    return L"SEPIA";
}
void main_window::controls_frame::toggle_advanced_settings() {}
void main_window::controls_frame::toggle_expanded(filter_state) {}
void main_window::controls_frame::set_auto_expand(bool) {}
void main_window::controls_frame::set_panel_fonts(HFONT, HFONT) {}
void main_window::controls_frame::on_dpi_changed(const engine_context&, double, float) {}
void main_window::controls_frame::push_eye_circle(std::int32_t, std::int32_t, std::int32_t, eye_region&,
                                                  std::uint32_t) {}
void main_window::controls_frame::undo_eye_circles(std::uint32_t, eye_region&, std::uint32_t) {}
void main_window::controls_frame::redo_eye_circles(std::uint32_t, eye_region&, std::uint32_t) {}
void main_window::controls_frame::update_focus_area_text() {}
void main_window::controls_frame::show_radius_text(std::int32_t) {}
std::int32_t main_window::controls_frame::image_tile_size() const {
    return 128;
}

} // namespace tessolux
