// The main window's placement and view choices in the current user's registry, next to the filter
// settings of the same host installation: read once while the dialog is built, written when the user
// closes it or applies.
#include "main-dialog-impl.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "am-collections.h"
#include "resource.h"
#include "settings-key.h"

namespace tessolux::main_window {

namespace {

// The values in the order they are read and written. The placement is the client area's screen origin
// and size, which does not depend on the frame a system draws round it.
constexpr const wchar_t* window_width_value = L"WindowWidth";
constexpr const wchar_t* window_height_value = L"WindowHeight";
constexpr const wchar_t* window_x_value = L"WindowX";
constexpr const wchar_t* window_y_value = L"WindowY";
constexpr const wchar_t* show_advanced_value = L"ShowAdvancedSettings";
constexpr const wchar_t* autosave_value = L"AutoSaveSettings";
constexpr const wchar_t* expanded_value = L"ExpandedFilters";
constexpr const wchar_t* display_state_value = L"DisplayState";
constexpr const wchar_t* auto_expand_value = L"AutoExpandCollapse";

// The thickness of the dialog's frame on each side. A minimised window has no client area to measure
// against: the frame its styles give then.
RECT frame_margins(HWND dialog) {
    if (!IsIconic(dialog)) {
        RECT window{};
        RECT client{};
        POINT origin{0, 0};
        if (GetWindowRect(dialog, &window) && GetClientRect(dialog, &client) &&
            ClientToScreen(dialog, &origin))
            return {origin.x - window.left, origin.y - window.top, window.right - origin.x - client.right,
                    window.bottom - origin.y - client.bottom};
    }
    RECT frame{};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongW(dialog, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongW(dialog, GWL_EXSTYLE)));
    return {-frame.left, -frame.top, frame.right, frame.bottom};
}

std::int32_t to_int32(std::int64_t value) noexcept {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

// One axis of a window moved onto a work area [low, high): its length clamped to the area's, then its
// start moved just enough that the whole length lies inside.
std::pair<std::int32_t, std::int32_t> fitted_axis(std::int64_t start, std::int64_t length, std::int64_t low,
                                                  std::int64_t high) noexcept {
    const std::int64_t fitted = std::clamp<std::int64_t>(length, 0, std::max<std::int64_t>(high - low, 0));
    return {to_int32(std::max(low, std::min(start, high - fitted))), to_int32(fitted)};
}

BOOL CALLBACK add_work_area(HMONITOR monitor, HDC, LPRECT, LPARAM list) noexcept {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    // Nothing may unwind into user32: a list that cannot grow ends the enumeration with what it has.
    try {
        if (GetMonitorInfoW(monitor, &info))
            reinterpret_cast<std::vector<RECT>*>(list)->push_back(info.rcWork);
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

// The work areas of all monitors: where windows go, without the task bars and docked tool bars.
std::vector<RECT> monitor_work_areas() {
    std::vector<RECT> areas;
    EnumDisplayMonitors(nullptr, nullptr, &add_work_area, reinterpret_cast<LPARAM>(&areas));
    return areas;
}

// The work area of the monitor nearest to the window; the primary one's when the system names none.
RECT nearest_work_area(const preview_rect& window) noexcept {
    const std::int64_t left = window.x;
    const std::int64_t top = window.y;
    const RECT area{window.x, window.y, to_int32(left + window.width), to_int32(top + window.height)};
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (GetMonitorInfoW(MonitorFromRect(&area, MONITOR_DEFAULTTONEAREST), &info))
        return info.rcWork;
    RECT primary{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &primary, 0);
    return primary;
}

} // namespace

preview_rect stored_window_rect(const preview_rect& client, const RECT& margins) noexcept {
    // Wide sums: a stored size near the 32-bit limit grows past it by the frame.
    const std::int64_t width = std::int64_t{std::max(client.width, 0)} + margins.left + margins.right;
    const std::int64_t height = std::int64_t{std::max(client.height, 0)} + margins.top + margins.bottom;
    return {to_int32(std::int64_t{client.x} - margins.left), to_int32(std::int64_t{client.y} - margins.top),
            to_int32(width), to_int32(height)};
}

preview_rect placed_window_rect(const preview_rect& window, std::int32_t caption_height,
                                std::span<const RECT> work_areas, const RECT& nearest_work_area) noexcept {
    const std::int64_t left = window.x;
    const std::int64_t right = left + std::max(window.width, 0);
    const std::int64_t top = window.y;
    // The strip the user grabs to drag the window; a row at least, so that a window without a caption
    // still has something to meet.
    const std::int64_t caption_bottom = top + std::max(caption_height, 1);
    for (const RECT& area : work_areas)
        if (left < area.right && right > area.left && top < area.bottom && caption_bottom > area.top)
            return window;
    const auto [x, width] = fitted_axis(left, window.width, nearest_work_area.left, nearest_work_area.right);
    const auto [y, height] = fitted_axis(top, window.height, nearest_work_area.top, nearest_work_area.bottom);
    return {x, y, width, height};
}

preview_rect impl::normal_client_area() const {
    if (!IsIconic(dialog) && !IsZoomed(dialog)) {
        RECT client{};
        POINT origin{0, 0};
        GetClientRect(dialog, &client);
        ClientToScreen(dialog, &origin);
        return {origin.x, origin.y, client.right, client.bottom};
    }
    // Minimised the window lies far off the screen with no client area, maximised it covers the work
    // area: neither is where the user wants it back next time.
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    GetWindowPlacement(dialog, &placement);
    RECT normal = placement.rcNormalPosition;
    // The normal position of a window that is no tool window is relative to the work area, which a task
    // bar at the top or the left moves away from the monitor's origin.
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if ((GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) == 0 &&
        GetMonitorInfoW(MonitorFromRect(&normal, MONITOR_DEFAULTTONEAREST), &monitor))
        OffsetRect(&normal, monitor.rcWork.left - monitor.rcMonitor.left,
                   monitor.rcWork.top - monitor.rcMonitor.top);
    const RECT margins = frame_margins(dialog);
    return {normal.left + margins.left, normal.top + margins.top,
            normal.right - normal.left - margins.left - margins.right,
            normal.bottom - normal.top - margins.top - margins.bottom};
}

void impl::expand_panels(std::uint32_t mask) {
    // The panel's own expand logic, called directly: a click on the arrow would move the focus, and
    // would not reach an arrow of a dialog that is not active yet.
    controls->expand_panels(mask);
}

void impl::load_window_settings() {
    const system_ui::key_handle root = open_current_user(KEY_READ);
    // The panel tells of no change while its states are restored: the dialog starts the chain itself once
    // it is built, and a run started now would only be superseded.
    const bool was_loading = std::exchange(controls->loading, true);
    const auto restore = cpp::make_scope_guard([&] { controls->loading = was_loading; });
    const system_ui::key_handle key = open_settings_key(root.get(), instance_key);
    if (!key) {
        // First run: the short form of the panel with natural enhancement alone open; the dialog stays
        // where its resource puts it.
        if (controls->show_advanced)
            controls->toggle_advanced_settings();
        expand_panels(natural_enhance);
        return;
    }

    preview_rect client = normal_client_area();
    const auto read_into = [&](const wchar_t* name, std::int32_t& field) {
        if (const std::optional<std::uint32_t> value = read_dword(key.get(), name))
            field = static_cast<std::int32_t>(*value);
    };
    read_into(window_width_value, client.width);
    read_into(window_height_value, client.height);
    read_into(window_x_value, client.x);
    read_into(window_y_value, client.y);

    // Any non-zero value means shown, as it does when written.
    if (const auto advanced = read_dword(key.get(), show_advanced_value);
        advanced && (*advanced != 0) != controls->show_advanced)
        controls->toggle_advanced_settings();
    if (const auto value = read_dword(key.get(), autosave_value))
        autosave = *value == 1;
    if (const auto expanded = read_dword(key.get(), expanded_value))
        expand_panels(*expanded);
    if (const auto state = read_dword(key.get(), display_state_value)) {
        // The result is always what the dialog shows first.
        const std::uint32_t before = view_flags;
        view_flags = *state | show_result;
        if (((before ^ view_flags) & show_pointer_stats) != 0) {
            const RECT part{status_part2.x, status_part2.y, status_part2.x + status_part2.width,
                            status_part2.y + status_part2.height};
            InvalidateRect(status_bar, &part, TRUE);
        }
    }
    if (const auto value = read_dword(key.get(), auto_expand_value))
        controls->set_auto_expand(*value != 0);

    const RECT margins = frame_margins(dialog);
    const preview_rect stored = stored_window_rect(client, margins);
    const preview_rect window =
        placed_window_rect(stored, margins.top, monitor_work_areas(), nearest_work_area(stored));
    MoveWindow(dialog, window.x, window.y, window.width, window.height, TRUE);
}

void impl::save_window_settings() {
    const preview_rect client = normal_client_area();
    const struct {
        const wchar_t* name;
        std::uint32_t value;
    } values[] = {
        {window_width_value, static_cast<std::uint32_t>(client.width)},
        {window_height_value, static_cast<std::uint32_t>(client.height)},
        {window_x_value, static_cast<std::uint32_t>(client.x)},
        {window_y_value, static_cast<std::uint32_t>(client.y)},
        {show_advanced_value, controls->show_advanced ? 1u : 0u},
        {autosave_value, autosave ? 1u : 0u},
        {expanded_value, controls->expanded_filters},
        {display_state_value, view_flags},
        {auto_expand_value, controls->auto_expand ? 1u : 0u},
    };
    const system_ui::key_handle root = open_current_user(KEY_WRITE);
    const system_ui::key_handle key = create_settings_key(root.get(), instance_key);
    for (const auto& [name, value] : values)
        write_dword(key.get(), name, value);
}

} // namespace tessolux::main_window
