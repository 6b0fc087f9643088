// The region tools of the preview: panning by dragging, the red-eye brush that paints circles, the
// tilt-shift focused rectangle drawn as a rubber band and moved or resized by its borders, the wheel, the
// cursors, and the pointer statistics. The rules themselves are region-rules'; here the window follows them.
#include "main-dialog-impl.h"

#include <windowsx.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "resource.h"

namespace tessolux::main_window {

namespace {

std::uint64_t steady_now_ns() noexcept {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

bool held(WPARAM keys, WPARAM key) noexcept {
    return (keys & key) != 0;
}

// A square of reach pixels on every side of (x, y).
RECT around(std::int32_t x, std::int32_t y, std::int32_t reach) noexcept {
    return {x - reach, y - reach, x + reach, y + reach};
}

} // namespace

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
    const RECT covered = around(x, y, reach + 1);
    InvalidateRect(dialog, &covered, FALSE);
}

bool impl::in_viewport(int x, int y) const noexcept {
    // Unsigned: a point left of or above the viewport wraps to a huge offset and is outside too.
    return static_cast<std::uint32_t>(std::int64_t{x} - viewport.x) <
               static_cast<std::uint32_t>(viewport.width) &&
           static_cast<std::uint32_t>(std::int64_t{y} - viewport.y) <
               static_cast<std::uint32_t>(viewport.height);
}

preview_rect impl::image_area() {
    const image_frame_ptr& frame = select_display_frame();
    return frame ? preview_rect{0, 0, frame.frame_width(), frame.frame_height()} : preview_rect{};
}

// Buttons ---------------------------------------------------------------------------------------------------

void impl::on_left_button_down(int x, int y, WPARAM keys) {
    if (!in_viewport(x, y))
        return;
    const std::uint32_t mode = controls->selection_mode;
    if (mode == 0 || held(keys, MK_SHIFT)) {
        if (hover_state != 0) {
            drag_state = hover_state;
        } else {
            drag_state = panning;
            SetCursor(cursors[static_cast<int>(tool_cursor::hand)]);
        }
    } else if (mode == 1) {
        drag_state = drawing_focus;
    } else if (mode == 2) {
        paint_circle_at(x, y);
        return;
    } else {
        return;
    }
    press_point = last_point = {x, y};
    SetCapture(dialog);
}

// The first circle of a press, where the button went down; the drag adds the others.
void impl::paint_circle_at(int x, int y) {
    const image_point p = view_to_image_point(x, y);
    const preview_rect image = image_area();
    if (static_cast<std::uint32_t>(p.x) >= static_cast<std::uint32_t>(image.width) ||
        static_cast<std::uint32_t>(p.y) >= static_cast<std::uint32_t>(image.height))
        return;
    eye_region& record = *controls->circle_record;
    controls->push_eye_circle(p.x, p.y, round_to_int(record.radius / view.zoom), record, record.info_control);
    // The press's circle starts the drag's clock: a move that stays near it at once adds no second one,
    // so one undo takes the click back.
    last_circle_time = steady_now_ns();
    drag_state = painting_circles;
    SetCapture(dialog);
    const RECT disc = around(x, y, round_to_int(record.radius) + 1);
    InvalidateRect(dialog, &disc, FALSE);
}

// Every drag ends here, however the capture went: the button released, another window taking the
// capture, or the dialog going away.
void impl::on_left_button_up() {
    ReleaseCapture();
}

void impl::on_capture_changed() {
    const std::uint32_t finished = std::exchange(drag_state, 0);
    // While the dialog is being destroyed (Windows ends a capture then) nothing new may start.
    if (closing)
        return;
    if (finished == drawing_focus) {
        const preview_rect image = image_area();
        const preview_rect band =
            rubber_band_rect(view_to_image_point(press_point.x, press_point.y),
                             view_to_image_point(last_point.x, last_point.y), image.width, image.height);
        controls->focused = is_empty_rect(band) ? middle_third(image.width, image.height) : band;
        controls->update_focus_area_text();
        draw_picture(0);
        CheckDlgButton(controls->window_handle(), IDC_TILTSHIFT_SELECT, BST_UNCHECKED);
        controls->selection_mode = 0;
        set_cursor(tool_cursor::arrow);
    }
    if (finished == drawing_focus || finished == moving_focus || (finished & resizing_any) != 0) {
        restart_chain(0, tilt_shift);
    } else if (finished == painting_circles) {
        restart_chain(0, controls->circle_record->stage_bit);
        // The trail of the press goes with the next paint.
        const RECT preview{viewport.x, viewport.y, viewport.x + viewport.width, viewport.y + viewport.height};
        InvalidateRect(dialog, &preview, FALSE);
    }
}

void impl::on_left_double_click() {
    zoom_to_fit();
}

void impl::on_middle_button_up(int x, int y) {
    if (in_viewport(x, y))
        SetFocus(IsWindowEnabled(apply_button) ? apply_button : cancel_button);
}

void impl::on_right_button_up(int x, int y) {
    if (in_viewport(x, y))
        show_context_menu(x, y);
}

// The pointer
// ------------------------------------------------------------------------------------------------

void impl::on_mouse_move(int x, int y, WPARAM keys) {
    pointer_in_dialog = true;
    track_pointer_leave();
    if (drag_state != 0) {
        // Only the idle pointer looks for handles: a press after this drag starts from what the next
        // idle move finds, never from handles of a rectangle that has changed meanwhile.
        hover_state = 0;
        drag_to(x, y, keys);
    } else {
        hover_over(x, y, keys);
    }
    follow_with_brush(x, y, keys);
    if (drag_state == moving_focus || (drag_state & resizing_any) != 0)
        controls->update_focus_area_text(); // the live size while dragging
    last_point = {x, y};
    update_pointer_stats();
}

void impl::drag_to(int x, int y, WPARAM keys) {
    const preview_rect image = image_area();
    const preview_rect before = controls->focused;
    preview_rect& focused = controls->focused;
    if (drag_state == panning) {
        view.pan_x += x - press_point.x;
        view.pan_y += y - press_point.y;
        press_point = {x, y};
        draw_picture(0);
        update_view_info();
    } else if (drag_state == drawing_focus) {
        focused = rubber_band_rect(
            view_to_image_point(std::min<int>(x, press_point.x), std::min<int>(y, press_point.y)),
            view_to_image_point(std::max<int>(x, press_point.x), std::max<int>(y, press_point.y)),
            image.width, image.height);
        if (!same_rect(focused, before) && (!is_empty_rect(focused) || !is_empty_rect(before))) {
            controls->update_focus_area_text();
            draw_picture(0);
        }
    } else if (drag_state == moving_focus || (drag_state & resizing_any) != 0) {
        const image_point now = view_to_image_point(x, y);
        const image_point pressed = view_to_image_point(press_point.x, press_point.y);
        const std::int64_t dx = std::int64_t{now.x} - pressed.x;
        const std::int64_t dy = std::int64_t{now.y} - pressed.y;
        focused = drag_state == moving_focus
                      ? move_focus_rect(drag_start_rect, dx, dy, image.width, image.height)
                      : resize_focus_rect(drag_start_rect, drag_state, dx, dy, held(keys, MK_SHIFT),
                                          image.width, image.height);
        if (!same_rect(focused, before))
            draw_picture(0);
    } else if (drag_state == painting_circles) {
        const image_point p = view_to_image_point(x, y);
        eye_region& record = *controls->circle_record;
        if (!brush_reaches_image(p, record.radius, image.width, image.height))
            return;
        const eye_circle* last_circle = record.circles.empty() ? nullptr : record.circles.end() - 1;
        const image_point last =
            last_circle ? image_point{last_circle->x, last_circle->y} : image_point{-10, -10};
        const std::uint64_t now = steady_now_ns();
        if (!circle_due(squared_distance(p, last), now, last_circle_time))
            return;
        controls->push_eye_circle(p.x, p.y, round_to_int(record.radius / view.zoom), record,
                                  record.info_control);
        last_circle_time = now;
    }
}

void impl::hover_over(int x, int y, WPARAM keys) {
    const std::uint32_t mode = controls->selection_mode;
    if (mode != 0)
        hover_state = 0;
    if (mode == 2)
        set_cursor(in_viewport(x, y) && !held(keys, MK_SHIFT) ? tool_cursor::pen : tool_cursor::arrow);
    else if (mode == 1)
        set_cursor(in_viewport(x, y) && !held(keys, MK_SHIFT) ? tool_cursor::cross : tool_cursor::arrow);
    else if (mode == 0)
        hover_focus_handles(x, y, held(keys, MK_CONTROL));
}

// Without a tool the focused rectangle's borders are handles, while tilt-shift is on to show them.
void impl::hover_focus_handles(int x, int y, bool control) {
    const preview_rect focused =
        (controls->active_filters & tilt_shift) != 0 ? controls->focused : preview_rect{};
    if (is_empty_rect(focused)) {
        hover_state = 0;
        set_cursor(tool_cursor::arrow);
        return;
    }
    const preview_rect image = image_area();
    const view_mapping shown = map_view_to_image(viewport.width, viewport.height, view.pan_x, view.pan_y,
                                                 view.zoom, image.width, image.height);
    const std::int32_t reach = round_to_int(3.0 * scale);
    const std::uint32_t hits = hit_focus_borders(focused, shown, reach, x - viewport.x - shown.view.x,
                                                 y - viewport.y - shown.view.y);
    const border_hover hover = hover_for_borders(hits, control);
    set_cursor(hover.cursor);
    hover_state = hover.hover;
    drag_start_rect = focused;
}

// How far from its centre the brush's outlines reach, the darkening border's included.
std::int32_t impl::brush_reach() const noexcept {
    const eye_region& record = *controls->circle_record;
    return round_to_int(record.darken_border * view.zoom + record.radius + 1.0);
}

// The red-eye brush follows the pointer in its tool's mode; Shift hides it, as Shift turns the tool off.
void impl::follow_with_brush(int x, int y, WPARAM keys) {
    if (held(keys, MK_SHIFT) || controls->selection_mode != 2 || !in_viewport(x, y)) {
        hide_brush();
        return;
    }
    const std::int32_t reach = brush_reach();
    RECT stale = around(x, y, reach);
    if (brush_position.x >= 0) {
        const RECT old = around(brush_position.x, brush_position.y, reach);
        UnionRect(&stale, &stale, &old);
    }
    brush_position = {x, y};
    InvalidateRect(dialog, &stale, FALSE);
}

void impl::hide_brush() {
    if (brush_position.x < 0)
        return;
    const RECT stale = around(brush_position.x, brush_position.y, brush_reach());
    InvalidateRect(dialog, &stale, FALSE);
    brush_position = {-1, -1};
}

// A pointer that leaves quickly, or straight onto the panel or the status bar, brings the dialog no move
// outside the preview: the system is asked to say when the pointer leaves. Only while it is not already
// watching for the dialog: every request would start its watch over.
void impl::track_pointer_leave() {
    TRACKMOUSEEVENT tracking{};
    tracking.cbSize = sizeof tracking;
    tracking.dwFlags = TME_QUERY;
    if (TrackMouseEvent(&tracking) && tracking.hwndTrack == dialog && (tracking.dwFlags & TME_LEAVE) != 0)
        return;
    tracking = {};
    tracking.cbSize = sizeof tracking;
    tracking.dwFlags = TME_LEAVE;
    tracking.hwndTrack = dialog;
    TrackMouseEvent(&tracking);
}

// The pointer has left the dialog's client area: the brush goes, and the statistics read as for a point
// off the image. A drag goes on: its moves come with the capture wherever the pointer is, show and hide
// the brush themselves (hiding it here would lose the trail of the press), and it ends with the capture.
void impl::on_mouse_leave() {
    pointer_in_dialog = false;
    pointer_stats_retry_pending = false;
    if (pointer_inside) {
        pointer_inside = false;
        invalidate_pointer_stats();
    }
    if (drag_state == 0)
        hide_brush();
}

void impl::on_mouse_wheel(WPARAM wparam, LPARAM lparam) {
    POINT point{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
    constexpr auto message =
        cpp::failure_message("process_message", "3450", AM_PLUGIN_SOURCE("main-dialog-impl.cpp"),
                             "ScreenToClient resulted in error!");
    const cpp::check_last_error check(message);
    check(ScreenToClient(dialog, &point));
    if (!in_viewport(point.x, point.y))
        return;
    const double factor = wheel_zoom_factor(static_cast<std::int16_t>(GET_WHEEL_DELTA_WPARAM(wparam)));
    switch (wheel_action_for(controls->selection_mode, held(GET_KEYSTATE_WPARAM(wparam), MK_SHIFT))) {
    case wheel_action::zoom:
        zoom_at(point.x - viewport.x, point.y - viewport.y, factor);
        draw_picture(0);
        break;
    case wheel_action::brush:
        scale_brush(factor, point.x, point.y);
        break;
    case wheel_action::none:
        break;
    }
}

// Cursors and texts
// ------------------------------------------------------------------------------------------

// The tool's cursor for the preview. Never through the dialog class: the host's dialogs, the colour
// chooser and the hotkey dialog are of that class too, and would show the pen or the cross. The system
// asks for the cursor before every move (on_set_cursor); a change shows at once.
void impl::set_cursor(HCURSOR cursor) {
    if (cursor == current_cursor || closing || dialog == nullptr)
        return;
    current_cursor = cursor;
    if (pointer_over_viewport())
        SetCursor(cursor);
}

// WM_SETCURSOR: the tool's cursor where the pointer is over the preview itself; everywhere else,
// children and frame included, the class's own as for any dialog.
bool impl::on_set_cursor(HWND window, UINT hit_test) {
    if (window != dialog || hit_test != HTCLIENT || current_cursor == nullptr || !pointer_over_viewport())
        return false;
    SetCursor(current_cursor);
    return true;
}

bool impl::pointer_over_viewport() const {
    POINT pointer{};
    if (dialog == nullptr || !GetCursorPos(&pointer) || WindowFromPoint(pointer) != dialog ||
        !ScreenToClient(dialog, &pointer))
        return false;
    return in_viewport(pointer.x, pointer.y);
}

void impl::set_cursor(tool_cursor cursor) {
    set_cursor(cursors[static_cast<int>(cursor)]);
}

// The keyboard's brush: the system pointer moves, and its mouse move does the rest.
void impl::move_select_circle(int dx, int dy) {
    if (brush_position.x < 0)
        brush_position = {viewport.x + viewport.width / 2, viewport.y + viewport.height / 2};
    brush_position.x += dx;
    brush_position.y += dy;
    POINT screen = brush_position;
    if (!ClientToScreen(dialog, &screen)) {
        constexpr auto message =
            cpp::failure_message("move_select_circle", "1216", AM_PLUGIN_SOURCE("main-dialog-impl.cpp"),
                                 "ClientToScreen resulted in error");
        cpp::throw_last_error(message.c_str());
    }
    SetCursorPos(screen.x, screen.y);
}

void impl::update_radius_text() {
    const bool red_eye = (controls->active_filters & remove_red_eyes) != 0 &&
                         (controls->expanded_filters & remove_red_eyes) != 0;
    if (red_eye && controls->selection_mode == 2)
        controls->show_radius_text(std::max(1, round_to_int(controls->circle_record->radius / view.zoom)));
}

// The readout of the pixel under the pointer. While a stage job holds the image, one retry waits for the
// next timer tick or pointer move: retrying at once through the window's queue would keep the dialog
// from its input, painting and timer for as long as the job runs.
void impl::update_pointer_stats() {
    pointer_stats_retry_pending = false;
    // After the pointer has left, a command's refresh must not bring back values of where it was.
    if ((view_flags & show_pointer_stats) == 0 || !pointer_in_dialog ||
        !in_viewport(last_point.x, last_point.y))
        return;
    const image_frame_ptr& frame = shown_frame();
    if (!frame)
        return;
    std::optional<pointer_stats> stats =
        read_pointer_stats(pointer_pattern, *frame, view_to_image_point(last_point.x, last_point.y));
    if (!stats) {
        pointer_stats_retry_pending = true;
        return;
    }
    pointer_text = std::move(stats->position);
    pointer_inside = stats->inside;
    for (int i = 0; i != 4; ++i)
        channel_texts[i] = std::move(stats->channels[i]);
    pointer_wide = stats->wide;
    invalidate_pointer_stats();
}

void impl::invalidate_pointer_stats() {
    const RECT part{status_part2.x, status_part2.y, status_part2.x + status_part2.width,
                    status_part2.y + status_part2.height};
    InvalidateRect(status_bar, &part, FALSE);
}

} // namespace tessolux::main_window
