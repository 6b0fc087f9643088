// The red-eye circles with their undo history, and the texts the panel keeps for the two region tools:
// the circle count, the brush radius and the focused area.
#include <algorithm>
#include <string>

#include <windows.h>

#include "am-text.h"
#include "main-controls-frame.h"
#include "resource.h"

namespace tessolux {

std::wstring format_history_text(const std::wstring& pattern, const eye_region& record) {
    return cpp::format_text(pattern, record.position, record.circles.size() - record.position);
}

std::wstring format_focus_area_text(const std::wstring& pattern, const preview_rect& focused) {
    return cpp::format_text(pattern, focused.x, focused.y, focused.x + focused.width - 1,
                            focused.y + focused.height - 1, focused.width, focused.height);
}

namespace main_window {

void controls_frame::show_history_text(const eye_region& record, std::uint32_t info_control) {
    SetDlgItemTextW(dialog_.get(), static_cast<int>(info_control),
                    format_history_text(history_pattern_, record).c_str());
}

void controls_frame::push_eye_circle(std::int32_t x, std::int32_t y, std::int32_t radius, eye_region& record,
                                     std::uint32_t info_control) {
    const eye_circle circle{x, y, radius};
    if (record.position < record.circles.size()) {
        // A new circle after undos takes the place of the undone ones.
        record.circles[record.position] = circle;
        record.circles.truncate(record.position + 1, true);
    } else {
        record.circles.push_back(circle);
    }
    ++record.position;
    show_history_text(record, info_control);
}

void controls_frame::undo_eye_circles(std::uint32_t n, eye_region& record, std::uint32_t info_control) {
    if ((active_filters & record.stage_bit) == 0)
        return;
    const std::uint32_t k = std::min(n, record.position);
    if (k == 0)
        return;
    record.position -= k;
    show_history_text(record, info_control);
    on_change_(100, static_cast<filter_state>(record.stage_bit));
}

void controls_frame::redo_eye_circles(std::uint32_t n, eye_region& record, std::uint32_t info_control) {
    if ((active_filters & record.stage_bit) == 0)
        return;
    const std::uint32_t k = std::min(n, record.circles.size() - record.position);
    if (k == 0)
        return;
    record.position += k;
    show_history_text(record, info_control);
    on_change_(100, static_cast<filter_state>(record.stage_bit));
}

void controls_frame::update_focus_area_text() {
    SetDlgItemTextW(dialog_.get(), IDC_SELECT_STATS,
                    format_focus_area_text(focus_area_pattern_, focused).c_str());
}

void controls_frame::show_radius_text(std::int32_t radius) {
    SetDlgItemTextW(dialog_.get(), IDC_REDEYE_RADIUS, (std::to_wstring(std::max(1, radius)) + L"  ").c_str());
}

} // namespace main_window
} // namespace tessolux
