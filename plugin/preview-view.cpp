// The preview's view on the main window: zoom about a point, the fit toggle, centring, the view
// information and the render of the shown frame. The arithmetic is the preview geometry's; here the
// window's controls follow it.
#include "main-dialog-impl.h"

#include "preview-render.h"

namespace tessolux::main_window {

void impl::zoom_at(double x, double y, double factor) {
    tessolux::zoom_at(view, x, y, factor);
    update_radius_text();
    update_view_info();
}

void impl::zoom_to_fit() {
    const image_frame_ptr& frame = select_display_frame();
    // A minimised window has no viewport to fit into: the view stays as it is.
    if (!frame || !tessolux::zoom_to_fit(view, viewport.width, viewport.height, frame.frame_width(),
                                         frame.frame_height()))
        return;
    update_radius_text();
    update_view_info();
    draw_picture(0);
}

void impl::center_view() {
    const image_frame_ptr& frame = select_display_frame();
    if (frame)
        tessolux::center_view(view, viewport.width, viewport.height, frame.frame_width(),
                              frame.frame_height());
}

void impl::update_view_info() {
    const image_frame_ptr& frame = select_display_frame();
    if (!frame)
        return;
    const view_mapping shown = map_view_to_image(viewport.width, viewport.height, view.pan_x, view.pan_y,
                                                 view.zoom, frame.frame_width(), frame.frame_height());
    if (same_rect(shown.image, shown_image_rect) && view.zoom == shown_zoom)
        return;
    const std::wstring text = format_view_info(view_info_text, shown.image, view.zoom);
    if (!SetWindowTextW(dynamic_text, text.c_str())) {
        constexpr auto message =
            cpp::failure_message("update_view_info", "1727", AM_PLUGIN_SOURCE("main-dialog-impl.cpp"),
                                 "SetWindowText resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
    shown_image_rect = shown.image;
    shown_zoom = view.zoom;
}

image_point impl::view_to_image_point(int x, int y) {
    const image_frame_ptr& frame = shown_frame();
    return tessolux::view_to_image_point(viewport, view, frame ? frame.frame_width() : 0,
                                         frame ? frame.frame_height() : 0, x, y);
}

void impl::render_preview(bool outlines_only) {
    const image_frame_ptr& frame = shown_frame();
    if (!frame || !canvas)
        return;
    const preview_rect focus =
        (controls->active_filters & tilt_shift) != 0 ? controls->focused : preview_rect{};
    start_preview_render(
        stage_engine, outlines_only, static_cast<std::int32_t>(view_flags), frame,
        static_cast<std::int32_t>(timer_ticks), &preview_lane.latest_ticket, preview_lane.thread,
        preview_lane.producer, posted_tasks, viewport, view.pan_x, view.pan_y, view.zoom,
        render_background(background_colour), focus, canvas, [this] {
            const RECT preview{0, 0, client_width - panel_width, client_height - status_height};
            InvalidateRect(dialog, &preview, TRUE);
        });
}

} // namespace tessolux::main_window
